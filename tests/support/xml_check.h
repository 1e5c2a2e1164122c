// A well-formedness check of XML 1.0 texts for tests and fuzz targets: the
// answers of the plug-in must parse as XML whatever a workbook or a request
// holds. Not a parser: it builds nothing and knows no DTD.
#pragma once

#include <string>
#include <string_view>

namespace tabulon::test {

// Checks that the text is one well-formed XML 1.0 document in UTF-8: valid
// UTF-8 throughout, no character that XML 1.0 forbids (also none written as a
// character reference), an optional declaration, one root element with
// matching end tags, quoted attribute values without "<", no attribute twice
// on one element, only the five predefined entities, well-formed comments,
// CDATA sections and processing instructions, and no "]]>" in text. A text
// with a document type declaration is refused (none is expected).
//
// Gives "" for a well-formed text, else what is wrong and at which byte
// offset, e.g. "byte 31: end tag </b> closes <a>".
std::string CheckXmlWellFormed(std::string_view text);

}  // namespace tabulon::test
