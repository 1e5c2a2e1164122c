/* A library with the plug-in's three exports that gives canned answers, so
 * that the command-line host's table output can be checked on answers with
 * several pieces, split CDATA sections and escaped texts. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static char* Copy(const char* text) {
  char* block = malloc(strlen(text) + 1);
  if (block != NULL) strcpy(block, text);
  return block;
}

EXPORT const char* iniSocketXtra(int32_t version) {
  (void)version;
  return "canned";
}

EXPORT char* getCellValueRef(int32_t r1, int32_t r2, const char* nick, const char* room, const char* domain,
                             const char* request) {
  (void)r1, (void)r2, (void)room, (void)domain, (void)request;
  if (nick != NULL && strcmp(nick, "none") == 0) return NULL;
  return Copy(
      "<result state=\"ok\"><xls sheet=\"1\" cell=\"B3\"><![CDATA[2.5]]></xls>"
      "<xls sheet=\"12\" cell=\"&quot;x&amp;\"><![CDATA[a]]]]><![CDATA[>b]]></xls>"
      "<xls sheet=\"1\" cell=\"C4\"><![CDATA[]]></xls>"
      "<xls sheet=\"1\" cell=\"D5\"><![CDATA[\xe2\x82\xac line\nnext]]></xls></result>");
}

EXPORT char* getMultiCellValueRef(int32_t r1, int32_t r2, const char* nick, const char* room, const char* domain,
                                  const char* request) {
  (void)r1, (void)r2, (void)nick, (void)room, (void)domain, (void)request;
  return Copy("<result state=\"error\"><error>Bad &lt;thing&gt; &amp; &quot;more&quot;</error></result>");
}
