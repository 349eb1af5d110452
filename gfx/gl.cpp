// The GL entry-point loader, the driver message callback, the context report and the graphics
// log they write to.
#include "gfx/gl.h"

#include "platform/log.h"

#include <GLFW/glfw3.h>
#include <string.h>

gl_function_table gl;

// ---- The graphics log ----------------------------------------------------------------------
// The report and driver messages go to the global log; "-gfx_log" saves it as the context log.

void gfx_log_append(buffer text) { log_append(text.data, text.used); }

buffer gfx_log_text() { return log_last_text(); }

u32 gfx_log_save(const char *path) { return log_save(string_from_bytes(path, strlen(path))) == 0 ? 1 : 0; }

static void log_cstr(const char *text) {
  if (text) gfx_log_append(string_from_bytes(text, strlen(text)));
}

// ---- Driver messages -------------------------------------------------------------------------

void APIENTRY gl_debug_message_callback(GLenum source, GLenum type, GLuint id, GLenum severity,
                                        GLsizei length, const GLchar *message,
                                        const void *user_data) {
  (void)source, (void)type, (void)id, (void)length, (void)user_data;
  if (severity == GL_DEBUG_SEVERITY_NOTIFICATION) return;
  // A driver that repeats a message every frame must not grow the log without end.
  static u32 messages_logged;
  if (messages_logged > GL_DEBUG_MESSAGE_LIMIT) return;
  if (++messages_logged > GL_DEBUG_MESSAGE_LIMIT) {
    log_cstr("gl_debug_message_callback: further driver messages are not logged.\n");
    return;
  }
  // Measured to the terminating zero: some drivers count it in length, some do not.
  log_cstr(message);
  log_cstr("\n");
}

// ---- Loader --------------------------------------------------------------------------------

static bool gl_has_extension(const char *name) {
  GLint count = 0;
  gl.glGetIntegerv(GL_NUM_EXTENSIONS, &count);
  for (GLint i = 0; i < count; i++) {
    const char *e = (const char *)gl.glGetStringi(GL_EXTENSIONS, (GLuint)i);
    if (e && strcmp(e, name) == 0) return true;
  }
  return false;
}

u32 gl_get_functions(bool require_debug) {
#define GL_FUNCTION_RESOLVE(type, name) gl.name = (type)glfwGetProcAddress(#name);
  GL_FUNCTION_LIST(GL_FUNCTION_RESOLVE)
#undef GL_FUNCTION_RESOLVE

  // A missing context or a stub driver shows here rather than as null pointers.
  if (!gl.glGetString || !gl.glGetIntegerv || !gl.glGetError || !gl.glGetString(GL_VERSION)) {
    log_cstr("gl_get_functions: no OpenGL context.\n");
    return 0;
  }
  GLint major = 0, minor = 0;
  gl.glGetIntegerv(GL_MAJOR_VERSION, &major);
  gl.glGetIntegerv(GL_MINOR_VERSION, &minor);
  if (major < 3 || (major == 3 && minor < 3)) {
    log_cstr("gl_get_functions: OpenGL 3.3 or later is required.\n");
    return 0;
  }
  bool has_debug = gl_has_extension("GL_ARB_debug_output");
  if (!has_debug) {
    if (!require_debug) return 1;
    log_cstr("gl_get_functions: GL_ARB_debug_output is missing.\n");
    return 0;
  }
  while (gl.glGetError() != GL_NO_ERROR) {
  }
  gl.glDebugMessageCallbackARB(gl_debug_message_callback, nullptr);
  if (gl.glGetError() != GL_NO_ERROR) {
    log_cstr("gl_get_functions: installing the debug message callback failed.\n");
    return 0;
  }
  // Messages then arrive on this thread, inside the call that caused them.
  gl.glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS_ARB);
  if (gl.glGetError() != GL_NO_ERROR) {
    log_cstr("gl_get_functions: synchronous debug output failed.\n");
    return 0;
  }
  return 1;
}

// ---- Context report ------------------------------------------------------------------------

void gl_context_info() {
  const char *version = (const char *)gl.glGetString(GL_VERSION);
  log_cstr("GL_VERSION: ");
  log_cstr(version);
  log_cstr("\n");
  bool modern = version && ((version[0] == '3' && version[1] && version[2] >= '2') ||
                            (version[0] > '3' && version[0] <= '9'));
  if (modern) {
    GLint major = 0, minor = 0, profile = 0, flags = 0, count = 0;
    gl.glGetIntegerv(GL_MAJOR_VERSION, &major);
    gl.glGetIntegerv(GL_MINOR_VERSION, &minor);
    log_cstr("GL_MAJOR_VERSION: ");
    log_unsigned((u32)major, 0, ' ', 0);
    log_cstr(" \nGL_MINOR_VERSION: ");
    log_unsigned((u32)minor, 0, ' ', 0);
    log_cstr("\n");
    gl.glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
    log_cstr("GL_CONTEXT_PROFILE_MASK: ");
    if (profile & GL_CONTEXT_CORE_PROFILE_BIT) {
      log_cstr("GL_CONTEXT_CORE_PROFILE_BIT\n");
    } else if (profile & GL_CONTEXT_COMPATIBILITY_PROFILE_BIT) {
      log_cstr("GL_CONTEXT_COMPATIBILITY_PROFILE_BIT\n");
    }
    gl.glGetIntegerv(GL_CONTEXT_FLAGS, &flags);
    log_cstr("GL_CONTEXT_FLAGS: ");
    if (flags & GL_CONTEXT_FLAG_FORWARD_COMPATIBLE_BIT) log_cstr("GL_CONTEXT_FLAG_FORWARD_COMPATIBLE_BIT ");
    if (flags & GL_CONTEXT_FLAG_DEBUG_BIT) log_cstr("GL_CONTEXT_FLAG_DEBUG_BIT ");
    log_cstr("\n\nExtensions ( >= 3.2 ):\n");
    gl.glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; i++) {
      log_cstr((const char *)gl.glGetStringi(GL_EXTENSIONS, (GLuint)i));
      log_cstr("\n");
    }
    log_cstr("\n");
  } else {
    log_cstr("Extensions ( <= 3.1 ):\n");
    log_cstr((const char *)gl.glGetString(GL_EXTENSIONS));
    log_cstr("\n\n");
  }
}
