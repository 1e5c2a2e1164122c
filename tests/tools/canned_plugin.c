/* A library with the plug-in's three exports that gives canned answers, so
 * that the command-line host's table output can be checked on answers with
 * several pieces, split CDATA sections and escaped texts. Answers are handed
 * over as the plug-in hands them: global memory on Windows, malloc elsewhere. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
/* Exported under plain names through canned_plugin.def. */
#define EXPORT
#define CALL __stdcall
#else
#define EXPORT __attribute__((visibility("default")))
#define CALL
#endif

static char* Copy(const char* text) {
#ifdef _WIN32
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, strlen(text) + 1);
  char* block = handle != NULL ? (char*)GlobalLock(handle) : NULL;
  if (block != NULL) {
    strcpy(block, text);
    GlobalUnlock(handle);
  }
#else
  char* block = malloc(strlen(text) + 1);
  if (block != NULL) strcpy(block, text);
#endif
  return block;
}

EXPORT const char* CALL iniSocketXtra(int32_t version) {
  (void)version;
  return "canned";
}

EXPORT char* CALL getCellValueRef(int32_t r1, int32_t r2, const char* nick, const char* room, const char* domain,
                                  const char* request) {
  (void)r1, (void)r2, (void)room, (void)domain, (void)request;
  if (nick != NULL && strcmp(nick, "none") == 0) return NULL;
  return Copy(
      "<result state=\"ok\"><xls sheet=\"1\" cell=\"B3\"><![CDATA[2.5]]></xls>"
      "<xls sheet=\"12\" cell=\"&quot;x&amp;\"><![CDATA[a]]]]><![CDATA[>b]]></xls>"
      "<xls sheet=\"1\" cell=\"C4\"><![CDATA[]]></xls>"
      "<xls sheet=\"1\" cell=\"D5\"><![CDATA[\xe2\x82\xac line\nnext]]></xls></result>");
}

EXPORT char* CALL getMultiCellValueRef(int32_t r1, int32_t r2, const char* nick, const char* room,
                                       const char* domain, const char* request) {
  (void)r1, (void)r2, (void)nick, (void)room, (void)domain, (void)request;
  return Copy("<result state=\"error\"><error>Bad &lt;thing&gt; &amp; &quot;more&quot;</error></result>");
}
