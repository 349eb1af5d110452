// The document type declaration and its internal subset.
#include "xml/xml_internal.h"

xml_node *xml_parse_document_type(xml_parser *p, xml_cursor *c, xml_error *error) {
  if (*error) return nullptr;
  xml_set_error(error, xml_error_doctype_expected_start);
  (void)p;
  (void)c;
  return nullptr;
}
