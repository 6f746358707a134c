#include "platform/capi/api/provider_loader.h"

#include <dlfcn.h>

#include <map>

#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost_params.h"
#include "platform/file_io.h"
#include "platform/registry.h"
#include "platform/thread_annotations.h"
#include "platform/user_prompt.h"

namespace zuntar {
namespace {

const csp::Host kHost{&CurrentUserPrompt};

// Loaded modules by path. Like provider libraries on Windows they stay
// loaded until the process ends.
struct LoadedModules {
  Mutex mu;
  std::map<std::string, csp::Module*> by_path GUARDED_BY(mu);
  uint32_t key_cache_idle_minutes GUARDED_BY(mu) = 0;
};

LoadedModules& Loaded() {
  static LoadedModules loaded;
  return loaded;
}

csp::Module* Load(const std::string& path, DWORD* error) {
  LoadedModules& loaded = Loaded();
  MutexLock lock(loaded.mu);
  auto& modules = loaded.by_path;
  if (const auto it = modules.find(path); it != modules.end()) return it->second;
  if (!FileExists(path)) {
    *error = NTE_PROV_DLL_NOT_FOUND;
    return nullptr;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  using Entry = csp::Module* (*)(uint32_t, const csp::Host*);
  auto entry = handle != nullptr ? reinterpret_cast<Entry>(dlsym(handle, csp::kEntryPoint)) : nullptr;
  csp::Module* module = entry != nullptr ? entry(csp::kInterfaceVersion, &kHost) : nullptr;
  if (module == nullptr) {
    if (handle != nullptr) dlclose(handle);
    *error = NTE_PROVIDER_DLL_FAIL;
    return nullptr;
  }
  if (loaded.key_cache_idle_minutes != 0) module->SetKeyCacheIdleLimit(loaded.key_cache_idle_minutes);
  modules[path] = module;
  return module;
}

}  // namespace

csp::Module* LoadProviderModule(const std::string& name, DWORD prov_type, std::string* resolved_name, DWORD* error) {
  std::string provider = name;
  if (provider.empty()) {
    const auto types = RegistryKey::OpenLocalMachine(std::string(kProviderTypesKeyPath) + "\\" +
                                                     ProviderTypeKeyName(prov_type));
    const auto default_name = types ? types->ReadString("Name") : std::nullopt;
    if (!default_name || default_name->empty()) {
      *error = NTE_PROV_TYPE_NOT_DEF;
      return nullptr;
    }
    provider = *default_name;
  }
  const auto key = RegistryKey::OpenLocalMachine(std::string(kProviderKeyPath) + "\\" + provider);
  if (!key) {
    *error = NTE_KEYSET_NOT_DEF;
    return nullptr;
  }
  const auto type = key->ReadDword("Type");
  if (!type || *type != prov_type) {
    *error = NTE_PROV_TYPE_NO_MATCH;
    return nullptr;
  }
  const auto path = key->ReadString("Image Path");
  if (!path || path->empty()) {
    *error = NTE_PROV_DLL_NOT_FOUND;
    return nullptr;
  }
  *resolved_name = key->Name();
  return Load(*path, error);
}

std::vector<csp::Module*> LoadedProviderModules() {
  LoadedModules& loaded = Loaded();
  MutexLock lock(loaded.mu);
  std::vector<csp::Module*> out;
  for (const auto& [path, module] : loaded.by_path) out.push_back(module);
  return out;
}

void SetProviderKeyCacheIdleLimit(uint32_t minutes) {
  LoadedModules& loaded = Loaded();
  MutexLock lock(loaded.mu);
  loaded.key_cache_idle_minutes = minutes;
  for (const auto& [path, module] : loaded.by_path) module->SetKeyCacheIdleLimit(minutes);
}

}  // namespace zuntar
