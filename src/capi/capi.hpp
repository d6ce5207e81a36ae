// The shared layer over the CPython C API. It knows nothing of the modules
// built on it; see each header for the rules it keeps.
#pragma once

#include "args.hpp"
#include "call.hpp"
#include "convert.hpp"
#include "fields.hpp"
#include "function.hpp"
#include "internals.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "types.hpp"
