// The tests load the built module with the host kit, as fastrak-host does.
#pragma once

#include "ModuleLibrary.h"

namespace testsupport {

using ModuleLoader = fastrakhost::ModuleLibrary;

}  // namespace testsupport
