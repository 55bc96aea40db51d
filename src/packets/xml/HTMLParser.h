#pragma once
// THTMLParser: a lenient, single-pass parser for tag-structured text (HTML and XML alike) that
// builds a tree of nodes. It never fails: malformed input gives one FOnSyntaxWarning call per
// problem and a best-effort tree. The usual HTML liberties (unclosed paragraphs and list items,
// void elements) follow three fixed element lists. One parser is used by one thread at a time;
// a parse started from a callback while another runs on the same parser does nothing, and
// callbacks must not change the tree while it is being built.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "packets/xml/ParamList.h"
#include "packets/xml/TagTokenizer.h"

namespace vexor {

// A node of the tree; it owns its children (freeing a node frees its subtree, however deep).
class THierarchyNode {
 public:
  THierarchyNode() = default;
  THierarchyNode(int32_t ANodeType, std::string_view ACaption, std::string_view AText)
      : FCaption(ACaption), FText(AText), FNodeType(ANodeType) {}
  THierarchyNode(const THierarchyNode&) = delete;
  THierarchyNode& operator=(const THierarchyNode&) = delete;
  virtual ~THierarchyNode();

  // Appends ANode (taking it over) and makes this node its parent; returns it.
  THierarchyNode* AddChild(std::unique_ptr<THierarchyNode> ANode);
  THierarchyNode* GetChild(size_t AIndex) const { return FChildren[AIndex].get(); }
  size_t ChildCount() const { return FChildren.size(); }
  // Frees the subtree below this node.
  void ClearChildren();

  std::vector<std::unique_ptr<THierarchyNode>> FChildren;
  // The element name as written, or the kind's marker ("PCDATA", "!", "?target", "CDATA").
  std::string FCaption;
  std::string FText;
  void* FData = nullptr;  // the caller's; the parser never touches it
  TParamList FParams{true};
  int32_t FNodeType = htnRoot;
  THierarchyNode* FParent = nullptr;  // non-owning
  std::function<void(THierarchyNode&)> FOnEach;
};

class TTagNode : public THierarchyNode {
 public:
  using THierarchyNode::THierarchyNode;

  // The child as a tag node (null for a foreign node kind).
  TTagNode* GetChild(size_t AIndex) const { return dynamic_cast<TTagNode*>(FChildren[AIndex].get()); }
  // Index of the first child whose caption equals ATag ignoring case, or -1.
  int Find(std::string_view ATag) const;
  // The text of every text node below, concatenated in document order.
  std::string GetPCData() const;

  bool FIsEmptyElement = false;
};

class THTMLParser {
 public:
  using TTagEvent = std::function<void(THTMLParser& AParser, TTagNode& ANode)>;
  using TWarningEvent = std::function<void(THTMLParser& AParser, const std::string& AMessage)>;

  // Reads a string through 1-based positions.
  class TStringSource {
   public:
    explicit TStringSource(std::string_view AText) : FText(AText) {}
    char GetChar(size_t APos) const { return FText[APos - 1]; }
    std::string_view GetText(size_t APos, size_t ACount) const { return FText.substr(APos - 1, ACount); }
    size_t Size() const { return FText.size(); }

   private:
    std::string_view FText;
  };

  explicit THTMLParser(void* AOwner = nullptr);

  void Clear();
  // Parses AText into FTree, replacing what was there. With SkipEmpyText, text is trimmed and
  // text that becomes empty makes no node.
  void ParseEx(std::string_view AText, bool SkipEmpyText);
  void Parse(std::string_view AText) { ParseEx(AText, false); }
  TTagNode& Tree() { return *FTree; }

  bool Parsing = false;
  std::unique_ptr<TTagNode> FTree;
  // Called on the parsing thread: an element was completed (by its end tag, "/>" or as a void
  // element).
  TTagEvent FOnHTMLTag;
  // Called on the parsing thread once per problem found.
  TWarningEvent FOnSyntaxWarning;
};

}  // namespace vexor
