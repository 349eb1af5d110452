// The window, input and graphics layer's contract: the window and its pump, the frame's input,
// and the OpenGL entry points with the graphics log.
#pragma once

#include "gfx/window.h"
#include "gfx/input.h"
#include "gfx/gl.h"
