// The tests' host storage is the host kit's, so tests hand the module what fastrak-host hands it.
#pragma once

#include "Storage.h"

namespace testsupport {

using HostStorage = fastrakhost::Storage;
using StorageKind = fastrakhost::Storage::Kind;

}  // namespace testsupport
