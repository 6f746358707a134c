// zuntar-certtool: manages the certificate stores, key containers and
// provider registration of the CryptoAPI stand-in (see README).
#include <iostream>
#include <map>

#include "certtool.h"
#include "message_commands.h"
#include "platform/capi/base/error_codes.h"

namespace {

using Command = int (*)(const std::vector<std::string>&);

constexpr char kUsage[] =
    "Usage: zuntar-certtool COMMAND [OPTIONS]\n"
    "\n"
    "Manages the certificate stores, key containers and GOST provider of the\n"
    "platform tree (ZUNTAR_PLATFORM_ROOT, or the system folders without it).\n"
    "\n"
    "Commands:\n"
    "  list               list the certificates of a store\n"
    "  containers         list the key containers the provider can reach\n"
    "  install            put a certificate into a store\n"
    "  import             put a private key and its certificate into a new container\n"
    "  delete             delete a key container and its keys\n"
    "  link               link a certificate to a key container\n"
    "  register-provider  register the GOST provider module in the registry\n"
    "  make-test-pki      create a test CA and user certificates with keys\n"
    "  sign               sign a file (CMS, attached or detached)\n"
    "  verify             check the signatures of a signed file\n"
    "  encrypt            encrypt a file for recipients\n"
    "  decrypt            decrypt a file with a key of a container here\n"
    "  hash               GOST R 34.11-2012 (256 bit) hash of a file\n"
    "\n"
    "Run 'zuntar-certtool COMMAND --help' for the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace zuntar::certtool;
  const std::map<std::string, Command> commands = {
      {"list", ListCommand},         {"containers", ContainersCommand},
      {"install", InstallCommand},   {"import", ImportCommand},
      {"link", LinkCommand},         {"delete", DeleteCommand},
      {"register-provider", RegisterProviderCommand},
      {"make-test-pki", MakeTestPkiCommand},
      {"sign", SignCommand},         {"verify", VerifyCommand},
      {"encrypt", EncryptCommand},   {"decrypt", DecryptCommand},
      {"hash", HashCommand}};
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
      std::string(argv[1]) == "help") {
    std::cout << kUsage;
    return argc < 2 ? 2 : 0;
  }
  const auto it = commands.find(argv[1]);
  if (it == commands.end()) {
    std::cerr << "zuntar-certtool: unknown command '" << argv[1] << "'\n\n" << kUsage;
    return 2;
  }
  try {
    return it->second(std::vector<std::string>(argv + 2, argv + argc));
  } catch (const ToolError& e) {
    std::cerr << "zuntar-certtool " << argv[1] << ": " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "zuntar-certtool " << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
}
