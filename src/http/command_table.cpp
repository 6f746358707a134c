#include "http/command_table.h"

#include <stdexcept>

namespace zuntar {

void CommandRegistry::Register(std::string_view name, CommandMethod method, CommandHandler handler) {
  for (size_t i = 0; i < kCommandTable.size(); ++i) {
    if (kCommandTable[i].name == name && kCommandTable[i].method == method) {
      handlers_[i] = std::move(handler);
      return;
    }
  }
  throw std::invalid_argument("no such command: " + std::string(name));
}

bool UsesDatabase(const CommandEntry& entry) {
  return entry.task_type != kNoTask || entry.name == "GETRESULT" || entry.name == "GETLOGINFO";
}

const CommandEntry* CommandRegistry::Find(std::string_view command, CommandMethod method) const {
  for (size_t i = 0; i < kCommandTable.size(); ++i) {
    const CommandEntry& e = kCommandTable[i];
    if (e.method != method || !handlers_[i]) continue;
    const bool match = method == CommandMethod::kPost ? command == e.name : command.starts_with(e.name);
    if (match) return &e;
  }
  return nullptr;
}

const CommandHandler& CommandRegistry::HandlerOf(const CommandEntry& entry) const {
  return handlers_[static_cast<size_t>(&entry - kCommandTable.data())];
}

bool CommandRegistry::IsOpenCommand(std::string_view command) {
  std::string post(command.substr(0, command.find('&')));
  if (const size_t sync = post.find("_SYNC"); sync != std::string::npos) post.erase(sync, 5);
  for (const CommandEntry& e : kCommandTable)
    if (e.method == CommandMethod::kPost && e.name == post) return false;
  for (const CommandEntry& e : kCommandTable)
    if (e.method == CommandMethod::kGet && command.starts_with(e.name)) return e.origins == CommandOrigins::kOpen;
  return false;
}

}  // namespace zuntar
