#pragma once
// Convenience header, as in the Windows SDK.
#include "objbase.h"
#include "oleauto.h"
