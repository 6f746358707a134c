// The task commands: a page asks for an operation with a private key
// (GETSIGN, GETSIGN_ATT, GET_XML_SIGN, SIGN_HASH, SIGN_SEDO_REQUEST,
// SIGN_POVED_REQUEST, DECRYPT and the three DECRYPT_*_RESPONSE commands)
// and collects its result (GETRESULT).
//
// Each request becomes a crypto task. Normally it is stored and handed to
// the processing thread, and the reply carries its id; with "_SYNC" it runs
// on the worker thread and the reply carries the result. Every caller text
// that goes into JSON is escaped, so a quote in a TaskId cannot break a
// reply.
#pragma once

#include <string>
#include <string_view>

#include "http/command_table.h"

namespace zuntar {

void RegisterTaskCommands(CommandRegistry& registry);

// DECRYPT's decoding of its query string: "%" and two hexadecimal digits
// become that byte (1 to 255); an invalid sequence, or one for 0, is
// dropped with the two characters after the "%". "+" stays.
std::string PercentDecode(std::string_view text);

// The reply of a queued task command on a worker without a database.
std::string DatabaseUnavailableText();

}  // namespace zuntar
