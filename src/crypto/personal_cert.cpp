#include "crypto/personal_cert.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "certs/cert_info.h"
#include "certs/dn_string.h"
#include "certs/key_containers.h"
#include "certs/os_error.h"
#include "core/text.h"
#include "core/utf.h"
#include "platform/capi/csp/key_container.h"
#include "platform/date_time.h"

namespace zuntar {
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxContainerNameBase = 100;

// The local date a certificate becomes valid, "yyyymmdd".
std::string LocalDateText(int64_t unix_seconds) {
  const CalendarTime t = DecodeDateTime(LocalFromUnixSeconds(unix_seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
  return text;
}

bool AnyNameContains(const std::vector<std::string>& containers, const std::string& name) {
  return std::any_of(containers.begin(), containers.end(), [&name](const std::string& entry) {
    return entry.substr(0, entry.find('\0')).find(name) != std::string::npos;
  });
}

// The folder a path names, without a trailing separator; empty for a path
// that is not absolute, that steps through "." or "..", or that passes
// through a symbolic link.
fs::path FolderWithoutLinks(const std::string& text) {
  const fs::path path(text);
  if (!path.is_absolute()) return {};
  for (const fs::path& part : path)
    if (part == "." || part == "..") return {};
  fs::path folder = path.lexically_normal();
  if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
  fs::path prefix;
  for (const fs::path& part : folder) {
    prefix /= part;
    std::error_code ec;
    if (fs::symlink_status(prefix, ec).type() == fs::file_type::symlink) return {};
  }
  return folder;
}

}  // namespace

std::string ContainerNameForCert(const Bytes& cert_body) {
  VCERT_INFO info;
  GetCertInfo(cert_body, VCERT_INFO_SUBJECT | VCERT_INFO_NOT_BEFORE, info);
  const std::string person = SubjectPersonNameOrCommonName(info.SubjectName);
  const std::string organisation = Trim(GetDNAttribute(info.SubjectName, "O"));
  std::string name = organisation.empty() ? person : person + "-" + organisation;
  if (name.size() > kMaxContainerNameBase) name.resize(kMaxContainerNameBase);
  const std::string base = name + "_" + LocalDateText(info.NotBefore);

  std::vector<std::string> containers;
  EnumContainers(&containers);
  name = base;
  for (int i = 1; i <= kMaxContainerNameTries && AnyNameContains(containers, name);) {
    ++i;
    name = base + "[" + std::to_string(i) + "]";
  }
  return name;
}

std::vector<std::string> MediaContainersAt(const std::string& folder) {
  const fs::path wanted = FolderWithoutLinks(folder);
  if (wanted.empty()) return {};
  std::vector<std::string> out;
  for (const ContainerLocation& location : EnumerateContainers()) {
    if (!location.removable) continue;
    const fs::path found = fs::path(location.folder).lexically_normal();
    if (found == wanted || found.parent_path() == wanted) out.push_back(AnsiFromUtf8(location.fqcn));
  }
  return out;
}

bool InstallPersonalCertificate(const ProviderState& providers, const std::string& container_or_path,
                                const Bytes& cert_body, std::string& error_text) {
  if (container_or_path.find(kRemovableContainerPrefix) != std::string::npos)
    return CopyContainerToRegistry(providers, container_or_path, cert_body, ContainerNameForCert(cert_body));
  if (!container_or_path.empty() && container_or_path[0] == '/') {
    for (const std::string& container : MediaContainersAt(container_or_path))
      if (FindCertificateForContainer(container, {cert_body}) == cert_body)
        return CopyContainerToRegistry(providers, container, cert_body, ContainerNameForCert(cert_body));
    error_text = ProgramText("Не найден ключевой контейнер сертификата на съёмном носителе в папке ",
                            "No key container of the certificate on removable media in the folder ") +
                 AnsiFromUtf8(container_or_path);
    return false;
  }
  InstallCertificateForContainer(providers, container_or_path, cert_body);
  return true;
}

}  // namespace zuntar
