// Shared pieces of the certificate tool's commands.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/capi/cert/cert_context.h"

namespace zuntar::certtool {

// A failure to report to the person: message on stderr, exit status 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Command-line options: "--name value" pairs, "--flag" switches and the
// positional arguments, checked against what a command accepts.
class Options {
 public:
  Options(const std::vector<std::string>& args, const std::vector<std::string>& with_value,
          const std::vector<std::string>& switches);
  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  std::string Get(const std::string& name, const std::string& fallback = {}) const;
  std::string Require(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// A certificate from a DER or PEM file.
PCCERT_CONTEXT ReadCertificateFile(const std::string& path);
// The certificate's serial number as hexadecimal text, most significant
// byte first.
std::string SerialText(const PCCERT_CONTEXT& cert);
// "<thumbprint> <serial> <subject>".
std::string ListLine(const PCCERT_CONTEXT& cert);
// Provider name and type that go with the certificate's signature algorithm.
std::pair<std::string, DWORD> ProviderForCertificate(const PCCERT_CONTEXT& cert);
// Links the certificate to the container and puts it in the current user's
// "MY" store.
void LinkCertificate(const PCCERT_CONTEXT& cert, const std::string& container, DWORD key_spec);
std::string DefaultModulePath();

int ListCommand(const std::vector<std::string>& args);
int ContainersCommand(const std::vector<std::string>& args);
int InstallCommand(const std::vector<std::string>& args);
int ImportCommand(const std::vector<std::string>& args);
int DeleteCommand(const std::vector<std::string>& args);
int LinkCommand(const std::vector<std::string>& args);
int RegisterProviderCommand(const std::vector<std::string>& args);
int MakeTestPkiCommand(const std::vector<std::string>& args);

}  // namespace zuntar::certtool
