/* A minimal host in plain C: loads the library named on the command line,
 * checks that nothing is answered before iniSocketXtra, then asks once and
 * expects the answer for a library without configuration, which it frees
 * with free(). With --exit-open it leaves the library loaded when the process
 * ends, as a host that never unloads it does. Exit status 0 on success. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef const char* (*IniFn)(int32_t);
typedef char* (*RequestFn)(int32_t, int32_t, const char*, const char*, const char*, const char*);

static int Fail(const char* what) {
  fprintf(stderr, "c_host: %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return Fail("usage: c_host LIBRARY [--exit-open]");
  const int exitOpen = argc == 3 && strcmp(argv[2], "--exit-open") == 0;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) return Fail(dlerror());
  IniFn ini = (IniFn)dlsym(library, "iniSocketXtra");
  RequestFn cells = (RequestFn)dlsym(library, "getCellValueRef");
  RequestFn block = (RequestFn)dlsym(library, "getMultiCellValueRef");
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
  free(answer);
  if (!exitOpen) dlclose(library);
  return ok ? 0 : 1;
}
