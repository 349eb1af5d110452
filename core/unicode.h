#pragma once

#include "core/buffer.h"
