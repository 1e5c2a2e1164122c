/* A minimal host in plain C: loads the library named on the command line,
 * checks that nothing is answered before iniSocketXtra, then asks once and
 * expects the answer for a library without configuration, which it frees as
 * the host does (GlobalFree(GlobalHandle(p)) on Windows, free() elsewhere).
 * With --exit-open it leaves the library loaded when the process ends, as a
 * host that never unloads it does. Exit status 0 on success. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define HOST_CALL __stdcall
#else
#include <dlfcn.h>
#define HOST_CALL
#endif

typedef const char*(HOST_CALL* IniFn)(int32_t);
typedef char*(HOST_CALL* RequestFn)(int32_t, int32_t, const char*, const char*, const char*, const char*);

static int Fail(const char* what) {
  fprintf(stderr, "c_host: %s\n", what);
  return 1;
}

#ifdef _WIN32
static void* OpenLibrary(const char* path) { return (void*)LoadLibraryA(path); }
static const char* OpenError(void) { return "LoadLibrary failed"; }
static void* Symbol(void* library, const char* name) { return (void*)GetProcAddress((HMODULE)library, name); }
static void CloseLibrary(void* library) { FreeLibrary((HMODULE)library); }
static int FreeAnswer(char* answer) {
  HGLOBAL block = GlobalHandle(answer);
  return block != NULL && GlobalFree(block) == NULL;
}
#else
static void* OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static const char* OpenError(void) { return dlerror(); }
static void* Symbol(void* library, const char* name) { return dlsym(library, name); }
static void CloseLibrary(void* library) { dlclose(library); }
static int FreeAnswer(char* answer) {
  free(answer);
  return 1;
}
#endif

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return Fail("usage: c_host LIBRARY [--exit-open]");
  const int exitOpen = argc == 3 && strcmp(argv[2], "--exit-open") == 0;
  void* library = OpenLibrary(argv[1]);
  if (library == NULL) return Fail(OpenError());
  IniFn ini = (IniFn)Symbol(library, "iniSocketXtra");
  RequestFn cells = (RequestFn)Symbol(library, "getCellValueRef");
  RequestFn block = (RequestFn)Symbol(library, "getMultiCellValueRef");
  if (ini == NULL || cells == NULL || block == NULL) return Fail("missing export");

  const char* request = "<cells><c sheet=\"1\" cell=\"A1\"/></cells>";
  if (cells(0, 0, "nick", "room", "domain", request) != NULL) return Fail("answer before iniSocketXtra");
  if (block(0, 0, "nick", "room", "domain", request) != NULL) return Fail("answer before iniSocketXtra");

  const char* id = ini(1);
  if (id == NULL || id[0] == '\0') return Fail("no identification text");
  char* answer = cells(0, 0, "nick", "room", "domain", request);
  if (answer == NULL) return Fail("no answer after iniSocketXtra");
  const int ok = strcmp(answer, "<result state=\"error\"><error>The xls file was not found</error></result>") == 0;
  if (!ok) fprintf(stderr, "c_host: unexpected answer %s\n", answer);
  if (!FreeAnswer(answer)) return Fail("the answer block could not be freed with GlobalFree");
  if (!exitOpen) CloseLibrary(library);
  return ok ? 0 : 1;
}
