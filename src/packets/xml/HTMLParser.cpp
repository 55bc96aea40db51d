#include "packets/xml/HTMLParser.h"

#include "packets/Packets.h"

namespace vexor {

THierarchyNode::~THierarchyNode() { ClearChildren(); }

void THierarchyNode::ClearChildren() {
  // Without recursion: a subtree may be deeper than the stack allows.
  std::vector<std::unique_ptr<THierarchyNode>> pending = std::move(FChildren);
  FChildren.clear();
  while (!pending.empty()) {
    std::unique_ptr<THierarchyNode> n = std::move(pending.back());
    pending.pop_back();
    for (auto& c : n->FChildren) pending.push_back(std::move(c));
    n->FChildren.clear();
  }
}

THierarchyNode* THierarchyNode::AddChild(std::unique_ptr<THierarchyNode> ANode) {
  ANode->FParent = this;
  FChildren.push_back(std::move(ANode));
  return FChildren.back().get();
}

int TTagNode::Find(std::string_view ATag) const {
  for (size_t i = 0; i < FChildren.size(); ++i)
    if (SameName(FChildren[i]->FCaption, ATag)) return static_cast<int>(i);
  return -1;
}

std::string TTagNode::GetPCData() const {
  std::string r;
  std::vector<const THierarchyNode*> stack;
  for (size_t i = FChildren.size(); i-- > 0;) stack.push_back(FChildren[i].get());
  while (!stack.empty()) {
    const THierarchyNode* n = stack.back();
    stack.pop_back();
    if (n->FNodeType == htnText) r += n->FText;
    for (size_t i = n->FChildren.size(); i-- > 0;) stack.push_back(n->FChildren[i].get());
  }
  return r;
}

namespace {

// Builds the node tree from the tokenizer's events.
class TTreeSink {
 public:
  static constexpr bool kWantsWarnings = true;

  TTreeSink(THTMLParser& AParser) : FParser(AParser), FCurrent(AParser.FTree.get()) {}

  void Warning(std::string AMessage) {
    if (FParser.FOnSyntaxWarning) FParser.FOnSyntaxWarning(FParser, AMessage);
  }
  void Leaf(int32_t AKind, std::string_view ACaption, std::string_view AText) {
    FCurrent->AddChild(std::make_unique<TTagNode>(AKind, ACaption, AText));
  }
  void Open(std::string_view AName, std::string_view AAttributes, bool AEmpty) {
    auto node = std::make_unique<TTagNode>(htnElement, AName, std::string_view());
    node->FParams.Add(AAttributes);
    node->FIsEmptyElement = AEmpty;
    FCurrent = static_cast<TTagNode*>(FCurrent->AddChild(std::move(node)));
  }
  void Close(bool AFire) {
    TTagNode* done = FCurrent;
    FCurrent = static_cast<TTagNode*>(done->FParent);
    if (AFire && FParser.FOnHTMLTag) FParser.FOnHTMLTag(FParser, *done);
  }
  bool Done() const { return false; }

 private:
  THTMLParser& FParser;
  TTagNode* FCurrent;
};

}  // namespace

THTMLParser::THTMLParser(void*) : FTree(std::make_unique<TTagNode>()) {}

void THTMLParser::Clear() { FTree->ClearChildren(); }

void THTMLParser::ParseEx(std::string_view AText, bool SkipEmpyText) {
  if (Parsing) return;
  Parsing = true;
  struct TDone {
    bool& F;
    ~TDone() { F = false; }
  } done{Parsing};
  Clear();
  TTreeSink sink(*this);
  TTagTokenizer<TTreeSink> t(AText, SkipEmpyText, sink);
  t.Run();
  t.Finish();
}

}  // namespace vexor
