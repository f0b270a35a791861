#pragma once

#include "wince_types.h"
