// SingletonBase: each tool class has one instance, created on its first
// construction, whose _init hook runs once.
#pragma once
#include "frame/method.h"

namespace pictor {

const ClassSpec& singleton_base_class();

// The _init hooks of the tool classes: no attributes, or `tool` = UtilityTool().
Ref init_nothing(const Args& args);
Ref init_with_utility_tool(const Args& args);

// Makes pickle send a tool object by its class name: the receiving process
// gets its own singleton (pictor._lookup.tool), never a copy of this one.
void pickle_by_class_name(PyObject* tool_class);

}  // namespace pictor
