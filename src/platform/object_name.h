// File-system-safe forms of the names of kernel objects (mutexes, events).
//
// Object names may hold any character but '\' (which separates a namespace
// such as "Global\" from the name); file and shared-memory names may not
// hold '/'. Names are made safe by escaping, never by folding, so two
// different object names never share one file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zuntar {

// Letters, digits, '.', '-' and '_' stay; every other byte becomes "%XX".
// A result longer than 200 characters keeps its first 180 and adds a hash
// of the whole name, so it always fits a file name.
std::string EscapeObjectName(std::string_view name);

// 64-bit FNV-1a hash: short, stable tags for names too long to keep whole.
uint64_t Fnv1a(std::string_view text);

}  // namespace zuntar
