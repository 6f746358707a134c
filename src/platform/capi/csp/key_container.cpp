#include "platform/capi/csp/key_container.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/capi/cert/store_files.h"
#include "platform/platform_root.h"
#include "platform/registry.h"

namespace zuntar {
namespace fs = std::filesystem;

namespace {

constexpr char kRegistryPrefix[] = "\\\\.\\REGISTRY\\";
constexpr char kShortRegistryPrefix[] = "REGISTRY\\\\";
constexpr char kMediaPrefix[] = "\\\\.\\FAT12_";
constexpr int kMaxDepth = 4;

bool ReadFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

bool IsContainerFolderName(const std::string& name) {
  return name.size() > 4 && name[name.size() - 4] == '.' &&
         std::all_of(name.end() - 3, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string KeyFile(DWORD key_spec, const char* ext) {
  return "/key" + std::to_string(key_spec) + ext;
}

struct Volume {
  char letter;
  std::string path;
};

std::vector<std::string> AllMediaRoots() {
  std::vector<std::string> roots = MediaRoots();
  const auto key = RegistryKey::OpenLocalMachine(kMediaReaderKeyPath);
  const std::string listed = key ? key->ReadString("Roots").value_or("") : "";
  size_t start = 0;
  while (start <= listed.size()) {
    const size_t end = std::min(listed.find(';', start), listed.size());
    if (end > start) roots.push_back(listed.substr(start, end - start));
    start = end + 1;
  }
  return roots;
}

std::vector<Volume> MediaVolumes() {
  std::vector<Volume> out;
  char letter = 'A';
  for (const std::string& root : AllMediaRoots()) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_directory(ec)) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      if (letter > 'Z') return out;
      out.push_back({letter++, root + "/" + n});
    }
  }
  return out;
}

void ScanVolume(const Volume& volume, const std::string& folder, const std::string& relative, int depth,
                std::vector<ContainerLocation>* out) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec)) names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string path = folder + "/" + n;
    const std::string rel = relative.empty() ? n : relative + "\\" + n;
    if (IsContainerFolderName(n) && fs::exists(path + "/name", ec)) {
      ContainerLocation loc;
      loc.folder = path;
      loc.name = KeyContainerFolder(path).Name();
      loc.fqcn = std::string(kMediaPrefix) + volume.letter + "\\" + rel;
      loc.unique = std::string("FAT12_") + volume.letter + "\\" + rel;
      loc.removable = true;
      out->push_back(std::move(loc));
    } else if (depth < kMaxDepth) {
      ScanVolume(volume, path, rel, depth + 1, out);
    }
  }
}

std::vector<ContainerLocation> RegistryContainers() {
  std::vector<ContainerLocation> out;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(RegistryReaderFolder(), ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec) && IsContainerFolderName(it->path().filename().string()))
      names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    ContainerLocation loc;
    loc.folder = RegistryReaderFolder() + "/" + n;
    loc.name = KeyContainerFolder(loc.folder).Name();
    if (loc.name.empty()) continue;
    loc.fqcn = kRegistryPrefix + loc.name;
    loc.unique = "REGISTRY\\" + n;
    out.push_back(std::move(loc));
  }
  return out;
}

std::vector<ContainerLocation> MediaContainers(std::optional<char> only_letter) {
  std::vector<ContainerLocation> out;
  for (const Volume& v : MediaVolumes())
    if (!only_letter || *only_letter == v.letter) ScanVolume(v, v.path, "", 0, &out);
  return out;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// A container holds private keys: only its owner may look inside. Media
// without file modes refuse, which changes nothing there.
void RestrictToOwner(const std::string& folder) {
  std::error_code ec;
  fs::permissions(folder, fs::perms::owner_all, ec);
}

// A file-system friendly folder name for a container name.
std::string FolderBase(const std::string& name) {
  std::string base;
  for (unsigned char c : name) base += (std::isalnum(c) || c == '-' || c == '_') ? static_cast<char>(c) : '_';
  if (base.size() > 8) base.resize(8);
  return base.empty() ? "key" : base;
}

// Sets *why (when asked for) and gives nothing.
std::nullopt_t Failed(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return std::nullopt;
}

std::string CannotCreate(const std::string& path, int err) { return "cannot create " + path + ": " + std::strerror(err); }

bool WriteName(const std::string& folder, const std::string& name, std::string* why) {
  if (StoreFolder(folder).Write("name", "", name, true)) return true;
  const int err = errno;
  Failed(why, "cannot write " + folder + "/name: " + std::strerror(err));
  return false;
}

std::optional<ContainerLocation> NewFolder(const std::string& parent, const std::string& name, std::string* why) {
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) return Failed(why, CannotCreate(parent, ec.value()));
  for (int n = 0; n < 1000; ++n) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03d", n);
    const std::string folder = parent + "/" + FolderBase(name) + suffix;
    if (!fs::create_directory(folder, ec)) {
      // Taken: try the next number. Anything else holds for every number.
      if (!ec) continue;
      return Failed(why, CannotCreate(folder, ec.value()));
    }
    RestrictToOwner(folder);
    if (!WriteName(folder, name, why)) {
      fs::remove_all(folder, ec);
      return std::nullopt;
    }
    ContainerLocation loc;
    loc.folder = folder;
    loc.name = name;
    return loc;
  }
  return Failed(why, "every folder name for " + name + " is taken in " + parent);
}

}  // namespace

// ---- KeyContainerFolder --------------------------------------------------------

std::string KeyContainerFolder::Name() const {
  Bytes name;
  if (!ReadFile(folder_ + "/name", &name)) return {};
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == '\0')) name.pop_back();
  return name;
}

bool KeyContainerFolder::Reachable() const {
  std::error_code ec;
  return fs::is_directory(folder_, ec);
}

std::string KeyContainerFolder::KeyPath(DWORD key_spec) const { return folder_ + KeyFile(key_spec, ".p8"); }

bool KeyContainerFolder::HasKey(DWORD key_spec) const {
  std::error_code ec;
  return fs::exists(KeyPath(key_spec), ec);
}

bool KeyContainerFolder::ReadKey(DWORD key_spec, Bytes* pkcs8) const { return ReadFile(KeyPath(key_spec), pkcs8); }

bool KeyContainerFolder::WriteKey(DWORD key_spec, const Bytes& pkcs8) const {
  return StoreFolder(folder_).Write("key" + std::to_string(key_spec), ".p8", pkcs8, true);
}

bool KeyContainerFolder::ReadPublicKey(DWORD key_spec, Bytes* spki) const {
  return ReadFile(folder_ + KeyFile(key_spec, ".pub"), spki) && !spki->empty();
}

bool KeyContainerFolder::WritePublicKey(DWORD key_spec, const Bytes& spki) const {
  return StoreFolder(folder_).Write("key" + std::to_string(key_spec), ".pub", spki, true);
}

bool KeyContainerFolder::ReadCertificate(DWORD key_spec, Bytes* der) const {
  return ReadFile(folder_ + KeyFile(key_spec, ".cer"), der) && !der->empty();
}

bool KeyContainerFolder::WriteCertificate(DWORD key_spec, const Bytes& der) const {
  return StoreFolder(folder_).Write("key" + std::to_string(key_spec), ".cer", der, true);
}

std::map<DWORD, std::string> KeyContainerFolder::Params() const {
  std::map<DWORD, std::string> out;
  Bytes text;
  if (!ReadFile(folder_ + "/params", &text)) return out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space > 9) continue;
    if (line.find_first_not_of("0123456789") < space) continue;
    out[static_cast<DWORD>(std::stoul(line.substr(0, space)))] = line.substr(space + 1);
  }
  return out;
}

bool KeyContainerFolder::WriteParams(const std::map<DWORD, std::string>& params) const {
  std::string text;
  for (const auto& [id, value] : params) text += std::to_string(id) + " " + value + "\n";
  return StoreFolder(folder_).Write("params", "", text, true);
}

// ---- Readers -----------------------------------------------------------------

std::string RegistryReaderFolder() { return MachineDir() + "/keys"; }

std::vector<ContainerLocation> EnumerateContainers() {
  std::vector<ContainerLocation> out = RegistryContainers();
  std::vector<ContainerLocation> media = MediaContainers(std::nullopt);
  out.insert(out.end(), media.begin(), media.end());
  return out;
}

std::optional<ContainerLocation> FindContainer(const std::string& raw) {
  std::string name = raw.substr(0, raw.find('\0'));
  if (StartsWith(name, kRegistryPrefix) || StartsWith(name, kShortRegistryPrefix)) {
    const std::string wanted = name.substr(StartsWith(name, kRegistryPrefix) ? sizeof kRegistryPrefix - 1
                                                                             : sizeof kShortRegistryPrefix - 1);
    for (ContainerLocation& loc : RegistryContainers())
      if (loc.name == wanted) return loc;
    return std::nullopt;
  }
  if (StartsWith(name, kMediaPrefix)) {
    if (name.size() < sizeof kMediaPrefix + 1 || name[sizeof kMediaPrefix] != '\\') return std::nullopt;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[sizeof kMediaPrefix - 1])));
    const std::string rest = name.substr(sizeof kMediaPrefix + 1);
    const std::vector<ContainerLocation> found = MediaContainers(letter);
    for (const ContainerLocation& loc : found)
      if (loc.unique.substr(8) == rest) return loc;
    for (const ContainerLocation& loc : found)
      if (loc.name == rest) return loc;
    return std::nullopt;
  }
  for (ContainerLocation& loc : EnumerateContainers())
    if (loc.name == name) return loc;
  return std::nullopt;
}

bool NamesRemovableOrAnyReader(const std::string& name) {
  return !StartsWith(name, kRegistryPrefix) && !StartsWith(name, kShortRegistryPrefix);
}

std::optional<ContainerLocation> CreateContainer(const std::string& raw, std::string* why) {
  const std::string name = raw.substr(0, raw.find('\0'));
  if (name.empty()) return Failed(why, "the container has no name");
  if (const auto existing = FindContainer(name))
    return Failed(why, "the container " + existing->fqcn + " exists already (" + existing->folder + ")");
  if (StartsWith(name, kMediaPrefix)) {
    if (name.size() < sizeof kMediaPrefix + 1 || name[sizeof kMediaPrefix] != '\\')
      return Failed(why, name + " is not a container on removable media (\\\\.\\FAT12_<letter>\\<path>)");
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[sizeof kMediaPrefix - 1])));
    std::string rel = name.substr(sizeof kMediaPrefix + 1);
    if (rel.empty() || rel.find("..") != std::string::npos)
      return Failed(why, "the path on the medium is empty or leads out of it (..)");
    for (const Volume& v : MediaVolumes()) {
      if (v.letter != letter) continue;
      std::replace(rel.begin(), rel.end(), '\\', '/');
      const size_t slash = rel.rfind('/');
      const std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
      const std::string parent = v.path + (slash == std::string::npos ? "" : "/" + rel.substr(0, slash));
      std::string folder;
      if (IsContainerFolderName(leaf)) {
        folder = parent + "/" + leaf;
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) return Failed(why, CannotCreate(folder, ec.value()));
        RestrictToOwner(folder);
        if (!WriteName(folder, leaf.substr(0, leaf.size() - 4), why)) return std::nullopt;
      } else {
        auto made = NewFolder(parent, leaf, why);
        if (!made) return std::nullopt;
        folder = made->folder;
      }
      for (ContainerLocation& loc : MediaContainers(letter))
        if (loc.folder == folder) return loc;
      return Failed(why, "the media reader does not see " + folder);
    }
    std::string roots;
    for (const std::string& root : AllMediaRoots()) roots += (roots.empty() ? "" : ", ") + root;
    return Failed(why, std::string("no removable medium has the letter ") + letter + " (media are the folders in " +
                           roots + ")");
  }
  const std::string bare = StartsWith(name, kRegistryPrefix)        ? name.substr(sizeof kRegistryPrefix - 1)
                           : StartsWith(name, kShortRegistryPrefix) ? name.substr(sizeof kShortRegistryPrefix - 1)
                                                                    : name;
  if (bare.empty()) return Failed(why, "the container has no name");
  if (!NewFolder(RegistryReaderFolder(), bare, why)) return std::nullopt;
  if (auto made = FindContainer(kRegistryPrefix + bare)) return made;
  return Failed(why, "the registry reader does not see the new container " + bare);
}

bool DeleteContainer(const ContainerLocation& location) {
  std::error_code ec;
  fs::remove_all(location.folder, ec);
  return !ec;
}

}  // namespace zuntar
