// The certificate tool's message commands: sign, verify, encrypt, decrypt
// and hash files of any size, streamed in 16384-byte chunks.
#pragma once

#include <string>
#include <vector>

namespace zuntar::certtool {

int SignCommand(const std::vector<std::string>& args);
int VerifyCommand(const std::vector<std::string>& args);
int EncryptCommand(const std::vector<std::string>& args);
int DecryptCommand(const std::vector<std::string>& args);
int HashCommand(const std::vector<std::string>& args);

}  // namespace zuntar::certtool
