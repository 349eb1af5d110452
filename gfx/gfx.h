// The window, input and graphics layer's contract: the window and its pump, the frame's input,
// the OpenGL entry points with the graphics log, recorded drawing and its OpenGL backend, image
// tools and TGA files, the fonts with their glyph atlas, and text layout.
#pragma once

#include "gfx/window.h"
#include "gfx/input.h"
#include "gfx/gl.h"
#include "gfx/render.h"
#include "gfx/gl_backend.h"
#include "gfx/image.h"
#include "gfx/tga.h"
#include "gfx/font.h"
#include "gfx/text_layout.h"
