#include "platform/capi/api/provider_registration.h"

#include <cstdio>

#include "platform/capi/csp/gost_module.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"

namespace zuntar {

std::string ProviderTypeKeyName(DWORD prov_type) {
  char name[16];
  std::snprintf(name, sizeof name, "Type %03u", prov_type);
  return name;
}

void RegisterGostProvider(const std::string& module_path, const std::string& registry_file) {
  RegistryWriter writer(registry_file.empty() ? RegistryFile() : registry_file);
  for (DWORD type : {PROV_GOST_2001_DH, PROV_GOST_2012_256, PROV_GOST_2012_512}) {
    const std::string name = csp::DefaultProviderName(type);
    const std::string key = std::string(kProviderKeyPath) + "\\" + name;
    writer.SetString(key, "Image Path", module_path);
    writer.SetDword(key, "Type", type);
    writer.SetString(std::string(kProviderTypesKeyPath) + "\\" + ProviderTypeKeyName(type), "Name", name);
  }
  writer.SetString(kRegistryReaderKeyPath, "Dll", module_path);
  writer.SetString(std::string(kRegistryReaderKeyPath) + "\\Default", "Name", "Registry");
  writer.Save();
}

}  // namespace zuntar
