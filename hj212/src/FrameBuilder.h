// The frame builder: a data segment composed from a template whose names stand for runtime
// variables, as the "MakeProtocol" script command asks for it.
#pragma once

#include <string>

#include "hj212/Device.h"

namespace HJ {

// The value of `name` as the builder inserts it: a text variable's text, a number in "%lf" with
// trailing zeros and decimal point removed (12.5, 3, 0), or the name itself when it is no variable,
// when there is no `device` or it has no database.
std::string read_template_value(Device* device, const std::string& name);

// "%lf" of `value` without trailing zeros and trailing decimal point: 12.500000 gives 12.5,
// 100.000000 gives 100, 1e-9 gives 0.
std::string format_template_number(double value);

// The template with each item's name replaced by the value of the variable it names.
// Items are cut at ",", ";" and "&" (so the "&&" of a CP segment bound items too); an item
// key=name replaces the name found after its key, an unkeyed item replaces its own name.
// Searches only move forward, and once a key or an unkeyed name is not found nothing later
// changes. A template of delimiters only gives the empty text.
// `device` may be null: every name then stands for itself.
std::string build_data_segment(Device* device, const std::string& templ);

} // namespace HJ
