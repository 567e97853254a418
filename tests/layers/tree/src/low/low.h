#pragma once
#include <cstdint>

#include "high/high.h"
