// OpenGL without an extension loader: every entry point the renderer uses is resolved once the
// context is current into one process-wide table, called as gl.glClear(...). A driver message
// callback copies driver messages into the graphics log, and the context report describes the
// context there.
#pragma once

#include "core/buffer.h"

#include <GL/glcorearb.h>

// The entry points, with their prototype types from the system's GL header.
#define GL_FUNCTION_LIST(X)                                                        \
  X(PFNGLGETSTRINGPROC, glGetString)                                               \
  X(PFNGLGETINTEGERVPROC, glGetIntegerv)                                           \
  X(PFNGLGETERRORPROC, glGetError)                                                 \
  X(PFNGLCLEARCOLORPROC, glClearColor)                                             \
  X(PFNGLGENTEXTURESPROC, glGenTextures)                                           \
  X(PFNGLBINDTEXTUREPROC, glBindTexture)                                           \
  X(PFNGLTEXPARAMETERIPROC, glTexParameteri)                                       \
  X(PFNGLTEXIMAGE2DPROC, glTexImage2D)                                             \
  X(PFNGLTEXSUBIMAGE2DPROC, glTexSubImage2D)                                       \
  X(PFNGLCLEARPROC, glClear)                                                       \
  X(PFNGLDRAWARRAYSPROC, glDrawArrays)                                             \
  X(PFNGLFLUSHPROC, glFlush)                                                       \
  X(PFNGLPIXELSTOREIPROC, glPixelStorei)                                           \
  X(PFNGLDELETETEXTURESPROC, glDeleteTextures)                                     \
  X(PFNGLFINISHPROC, glFinish)                                                     \
  X(PFNGLENABLEPROC, glEnable)                                                     \
  X(PFNGLBLENDFUNCPROC, glBlendFunc)                                               \
  X(PFNGLDRAWELEMENTSPROC, glDrawElements)                                         \
  X(PFNGLDRAWELEMENTSBASEVERTEXPROC, glDrawElementsBaseVertex)                     \
  X(PFNGLDISABLEPROC, glDisable)                                                   \
  X(PFNGLVIEWPORTPROC, glViewport)                                                 \
  X(PFNGLSCISSORPROC, glScissor)                                                   \
  X(PFNGLREADPIXELSPROC, glReadPixels)                                             \
  X(PFNGLISENABLEDPROC, glIsEnabled)                                               \
  X(PFNGLACTIVETEXTUREPROC, glActiveTexture)                                       \
  X(PFNGLGETSHADERIVPROC, glGetShaderiv)                                           \
  X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                                 \
  X(PFNGLGETSHADERSOURCEPROC, glGetShaderSource)                                   \
  X(PFNGLATTACHSHADERPROC, glAttachShader)                                         \
  X(PFNGLBINDATTRIBLOCATIONPROC, glBindAttribLocation)                             \
  X(PFNGLCOMPILESHADERPROC, glCompileShader)                                       \
  X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                                       \
  X(PFNGLCREATESHADERPROC, glCreateShader)                                         \
  X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                                       \
  X(PFNGLDELETESHADERPROC, glDeleteShader)                                         \
  X(PFNGLDETACHSHADERPROC, glDetachShader)                                         \
  X(PFNGLDISABLEVERTEXATTRIBARRAYPROC, glDisableVertexAttribArray)                 \
  X(PFNGLENABLEVERTEXATTRIBARRAYPROC, glEnableVertexAttribArray)                   \
  X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                                         \
  X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)                               \
  X(PFNGLLINKPROGRAMPROC, glLinkProgram)                                           \
  X(PFNGLSHADERSOURCEPROC, glShaderSource)                                         \
  X(PFNGLUSEPROGRAMPROC, glUseProgram)                                             \
  X(PFNGLBINDBUFFERPROC, glBindBuffer)                                             \
  X(PFNGLGENBUFFERSPROC, glGenBuffers)                                             \
  X(PFNGLBUFFERDATAPROC, glBufferData)                                             \
  X(PFNGLBUFFERSUBDATAPROC, glBufferSubData)                                       \
  X(PFNGLVERTEXATTRIBPOINTERPROC, glVertexAttribPointer)                           \
  X(PFNGLVERTEXATTRIBIPOINTERPROC, glVertexAttribIPointer)                         \
  X(PFNGLBINDFRAGDATALOCATIONPROC, glBindFragDataLocation)                         \
  X(PFNGLGETATTRIBLOCATIONPROC, glGetAttribLocation)                               \
  X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers)                                       \
  X(PFNGLDELETEVERTEXARRAYSPROC, glDeleteVertexArrays)                             \
  X(PFNGLGENVERTEXARRAYSPROC, glGenVertexArrays)                                   \
  X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                                   \
  X(PFNGLGENERATEMIPMAPPROC, glGenerateMipmap)                                     \
  X(PFNGLGETSTRINGIPROC, glGetStringi)                                             \
  X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)                             \
  X(PFNGLUNIFORM1UIPROC, glUniform1ui)                                             \
  X(PFNGLUNIFORMMATRIX2X3FVPROC, glUniformMatrix2x3fv)                             \
  X(PFNGLUNIFORMMATRIX3X4FVPROC, glUniformMatrix3x4fv)                             \
  X(PFNGLUNIFORMMATRIX4FVPROC, glUniformMatrix4fv)                                 \
  X(PFNGLUNIFORM4FVPROC, glUniform4fv)                                             \
  X(PFNGLPRIMITIVERESTARTINDEXPROC, glPrimitiveRestartIndex)                       \
  X(PFNGLDEBUGMESSAGECALLBACKARBPROC, glDebugMessageCallbackARB)

struct gl_function_table {
#define GL_FUNCTION_FIELD(type, name) type name;
  GL_FUNCTION_LIST(GL_FUNCTION_FIELD)
#undef GL_FUNCTION_FIELD
};

extern gl_function_table gl;

// Resolves every entry point for the current context. The window system hands back a pointer
// for any name, so instead of null results the context itself is checked: version 3.3 or later,
// and GL_ARB_debug_output when require_debug is set. The driver message callback is installed
// whenever the extension is there. 1 on success; on failure a line in the graphics log and 0.
u32 gl_get_functions(bool require_debug);

// Appends the report of the current context (version, profile, flags, extensions) to the
// graphics log.
void gl_context_info();

// Copies a driver message into the graphics log. Notifications are dropped: drivers send one
// for routine work such as every buffer upload, and they would grow the log every frame.
void APIENTRY gl_debug_message_callback(GLenum source, GLenum type, GLuint id, GLenum severity,
                                        GLsizei length, const GLchar *message,
                                        const void *user_data);

// ---- The graphics log ----------------------------------------------------------------------
// The context report, driver messages and window-system errors go to the global log.
#define GL_DEBUG_MESSAGE_LIMIT 1000
void gfx_log_append(buffer text);
// The newest chunk of the global log.
buffer gfx_log_text();
// Writes the whole global log to the file at path (zero-terminated); 1 on success.
u32 gfx_log_save(const char *path);
