// Named statement parameters.
//
// Firebird's DSQL knows only positional markers ("?"). Statements are
// written with :NAME parameters; this turns them into markers and keeps
// which marker carries which name. Names match without regard to case;
// one name may stand at several places and then binds all of them.
#pragma once

#include <string>
#include <vector>

namespace zuntar {

struct PositionalSql {
  std::string text;                 // the statement with "?" markers
  std::vector<std::string> names;   // upper-case name of each marker, in order
};

// Markers inside string literals, quoted identifiers and comments are left
// alone, so 'NOW' or a ':' in a literal stays what it is.
PositionalSql ToPositional(const std::string& sql);

}  // namespace zuntar
