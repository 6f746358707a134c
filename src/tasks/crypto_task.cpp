#include "tasks/crypto_task.h"

#include <cctype>
#include <cmath>

#include "platform/guid.h"

namespace zuntar {

void ReleaseInput(TCryptoTask& task) {
  task.InData.clear();
  task.InData.shrink_to_fit();
}

std::optional<std::string> CertSnColumn(const TCryptoTask& task) {
  if (!task.CertSN.empty()) return task.CertSN;
  if (!task.CertThumb.empty()) return "@" + task.CertThumb;
  return std::nullopt;
}

void ApplyCertSnColumn(TCryptoTask& task, const std::optional<std::string>& cert_sn) {
  task.CertSN.clear();
  task.CertThumb.clear();
  if (!cert_sn) return;
  if (cert_sn->find('@') == std::string::npos) {
    task.CertSN = *cert_sn;
    return;
  }
  for (char c : *cert_sn)
    if (c != '@') task.CertThumb += c;
}

std::string NewTaskId() {
  // "g1-g2-g3-g4-g5" -> g5 g4 g3 g2 g1
  const std::string guid = NewGuidText();
  std::string id;
  id.reserve(32);
  size_t end = guid.size();
  while (true) {
    const size_t dash = guid.rfind('-', end - 1);
    const size_t begin = dash == std::string::npos ? 0 : dash + 1;
    id.append(guid, begin, end - begin);
    if (dash == std::string::npos) break;
    end = dash;
  }
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

std::string NormalizeTaskId(const std::string& text) {
  std::string id;
  id.reserve(text.size());
  for (char c : text)
    if (c != '-') id += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

bool IsPastLifetime(DateTime start, DateTime now) {
  const long long lifetime_ms = std::llround(TASK_LIFETIME * kMsPerDay);
  return std::llround((now - start) * kMsPerDay) > lifetime_ms;
}

}  // namespace zuntar
