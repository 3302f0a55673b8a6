// Runtime variables by name, as text, for the script command interpreter. Called on the panel's
// calling thread only (the interpreter's handlers), never with the engine's queue mutex held.
#pragma once

#include <string>

#include "hj212/Device.h"
#include "panel/OrvaData.h"

namespace bridge {

// The variable's value with its type: Unreachable without a database adapter, None for a name
// that is no variable (or no type callback); a failed type query that still wrote a type counts
// by that type.
HJ::VarValue read_value_by_name(ORVA_DATA& data, const std::string& name);

// Puts the text variable's value into `out`. Unlike HJ::get_value_by_name, a name that is no variable
// is not read as its own text: 1 only when `name` is a text variable whose read succeeded; 0 for
// no such variable, a numeric one, a failed read or no adapter (out untouched).
int get_text_by_name(ORVA_DATA& data, const std::string& name, std::string& out);
// 1 when `name` is a text variable, 0 otherwise (no adapter, no such variable, another type).
int is_text_variable(ORVA_DATA& data, const std::string& name);

} // namespace bridge

// These three keep the engine's namespace and their int answers (1 done, 0 not), the names the
// interpreter's variable access is documented under; they are the bridge's code all the same.
namespace HJ {

// Puts the variable's value as text into `out` (value_text of bridge::read_value_by_name): a double with six decimals
// ("%lf"), an int in decimal, a text as it stands; a name that is no variable (or no type callback) gives the name
// itself. Returns 1, or 0 without a database adapter (out untouched).
int get_value_by_name(ORVA_DATA& data, const std::string& name, std::string& out);

// Stores `value` converted to the variable's type (int: decimal, limited to 32 bits; double:
// strtod; text: unchanged). A refused write is tried once more. 1: stored; 0: no adapter, no
// such variable, a type it cannot hold, or refused twice.
int set_value_by_name(ORVA_DATA& data, const std::string& name, std::string& value);
// The same for an int: converted to double, or to its decimal text, as the variable needs.
int set_value_by_name(ORVA_DATA& data, const std::string& name, int value);

} // namespace HJ
