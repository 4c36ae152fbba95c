// The composition root: which subsystems start, and in which order.
#pragma once

#include "core/process.h"

ServiceHooks services_hooks();
