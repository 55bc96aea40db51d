// The tag tree parser on arbitrary bytes: it never fails, its tree hangs together (every child
// knows its parent) and the entity coder gives back any text it encoded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "packets/xml/HTMLParser.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  THTMLParser parser;
  size_t warnings = 0, completed = 0;
  parser.FOnSyntaxWarning = [&warnings](THTMLParser&, const std::string& M) {
    if (M.empty()) std::abort();
    ++warnings;
  };
  parser.FOnHTMLTag = [&completed](THTMLParser&, TTagNode& N) {
    if (N.FNodeType != htnElement) std::abort();
    ++completed;
  };
  parser.ParseEx(text, ASize % 2 == 0);
  std::vector<const THierarchyNode*> stack{parser.FTree.get()};
  while (!stack.empty()) {
    const THierarchyNode* n = stack.back();
    stack.pop_back();
    if (n->FNodeType < htnRoot || n->FNodeType > htnCData) std::abort();
    for (const auto& c : n->FChildren) {
      if (c->FParent != n) std::abort();
      stack.push_back(c.get());
    }
  }
  parser.FTree->GetPCData();
  if (DecodeEntities(EncodeEntities(text, false)) != text) std::abort();
  DecodeEntities(text);
  EncodeEntities(text, true);
  return 0;
}
