#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packets/xml/HTMLParser.h"

namespace vexor {
namespace {

// A compact picture of a tree: kind:caption[=text][/ when empty](children), siblings by ",".
void Dump(const THierarchyNode& N, std::string& AOut) {
  for (size_t i = 0; i < N.ChildCount(); ++i) {
    const THierarchyNode& c = *N.GetChild(i);
    if (i) AOut += ',';
    AOut += std::to_string(c.FNodeType) + ":" + c.FCaption;
    if (!c.FText.empty()) AOut += "=" + c.FText;
    if (auto* t = dynamic_cast<const TTagNode*>(&c); t && t->FIsEmptyElement) AOut += '/';
    if (c.ChildCount()) {
      AOut += '(';
      Dump(c, AOut);
      AOut += ')';
    }
  }
}

struct TParsed {
  std::string Tree;
  std::vector<std::string> Warnings;
};

TParsed ParseText(std::string_view AText, bool ASkip = true) {
  THTMLParser p;
  TParsed r;
  p.FOnSyntaxWarning = [&r](THTMLParser&, const std::string& M) { r.Warnings.push_back(M); };
  p.ParseEx(AText, ASkip);
  Dump(p.Tree(), r.Tree);
  return r;
}

TEST(HTMLParserTest, BuildsEveryNodeKind) {
  struct TCase {
    const char* Input;
    bool Skip;
    const char* Tree;
  } cases[] = {
      {" <a> x </a> ", true, "1:a(2:PCDATA=x)"},
      {" <a> x </a> tail", false, "2:PCDATA= ,1:a(2:PCDATA= x )"},
      {"<a>\n  <b>1</b>\n  <c/>\n</a>", true, "1:a(1:b(2:PCDATA=1),1:c/)"},
      {"<br><img src=x><a/>", true, "1:br/,1:img/,1:a/"},
      {"<A>x</a>", true, "1:A(2:PCDATA=x)"},
      {"<!-- a -->", true, "3:!=a"},
      {"<!-- x < y > z -->", true, "3:!=x < y > z"},
      {"<?xml version=\"1.0\"?>", true, "4:?xml=version=\"1.0\"?"},
      {"<![CDATA[a<b]]>", true, "5:CDATA=a<b"},
      {"<![CDATA[ a]b> ]]>", true, "5:CDATA= a]b>"},
      {"<!DOCTYPE html>", true, "4:?DOCTYPE=html"},
      {"<!DOCTYPE x -- a > b -- >", true, "4:?DOCTYPE=x -- a  b --"},
      {"<!DOCTYPE x [<!ENTITY e \"v\">]>", true, "4:?DOCTYPE=x [<!ENTITY e \"v\">]"},
      {"<!><?pi?>", true, "0:,0:"},
      {"\xEF\xBB\xBF<a/>", true, "1:a/"},
      {"<t>x\xEF\xBB\xBFy</t>", true, "1:t(2:PCDATA=x\xEF\xBB\xBFy)"},
      {"<t>a&amp;b&lt;&#39;&macr;&hibar;&bogus;&Amp;x&#0;&#65</t>", true,
       "1:t(2:PCDATA=a&b<'\xC2\xAF\xC2\xAF"
       "bogus;Amp;x#0;#65)"},
      {"text only", true, ""},
      {"<a>unclosed", true, "1:a"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ParseText(c.Input, c.Skip).Tree, c.Tree) << c.Input;
}

TEST(HTMLParserTest, ClosesElementsByTheHtmlRules) {
  struct TCase {
    const char* Input;
    const char* Tree;
  } cases[] = {
      {"<p>one<p>two<br>", "1:p(2:PCDATA=one),1:p(2:PCDATA=two,1:br/)"},
      {"<p>a<div>b</div>", "1:p(2:PCDATA=a),1:div(2:PCDATA=b)"},
      {"<p>a<span>b</span>", "1:p(2:PCDATA=a,1:span(2:PCDATA=b))"},
      {"<ul><li>a<LI>b</ul>c", "1:ul(1:li(2:PCDATA=a),1:LI(2:PCDATA=b))"},
      // Only the same name closes an open td: the second row lands in the cell.
      {"<table><tr><td>1<td>2<tr><td>3</table>",
       "1:table(1:tr(1:td(2:PCDATA=1),1:td(2:PCDATA=2,1:tr(1:td(2:PCDATA=3)))))"},
      {"<a><b><c>x</a>y<d/>", "1:a(1:b(1:c(2:PCDATA=x))),2:PCDATA=y,1:d/"},
      {"<div><div>x</div></div>", "1:div(1:div(2:PCDATA=x))"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ParseText(c.Input).Tree, c.Tree) << c.Input;
}

TEST(HTMLParserTest, WarnsAboutMalformedInputAndGoesOn) {
  struct TCase {
    std::string Input;
    const char* Tree;
    std::vector<std::string> Warnings;
  } cases[] = {
      {"a>b<c/>", "2:PCDATA=ab,1:c/", {"Unexpected \">\" encountered [Row:1,Col:2]"}},
      {"<a<b>", "1:ab", {"Unexpected \"<\" encountered [Row:1,Col:3]"}},
      {"<a>x</b></a>", "1:a(2:PCDATA=x)", {"End tag found without matching start tag: b [Row:1,Col:8]"}},
      {"\n\n>>", "", {"Unexpected \">\" encountered [Row:3,Col:1]", "Unexpected \">\" encountered [Row:3,Col:2]"}},
      {std::string(300, ' ') + ">", "", {"Unexpected \">\" encountered [Row:2,Col:45]"}},
      {"\xC3\xA9\xF0\x9F\x98\x80>", "", {"Unexpected \">\" encountered [Row:1,Col:4]"}},
      {"<!DOCTYPE x -- > -->", "4:?DOCTYPE=x --  --", {"Unexpected \">\" encountered [Row:1,Col:16]"}},
      {"</x>", "", {"End tag found without matching start tag: x [Row:1,Col:4]"}},
  };
  for (const TCase& c : cases) {
    TParsed r = ParseText(c.Input);
    EXPECT_EQ(r.Tree, c.Tree) << c.Input;
    EXPECT_EQ(r.Warnings, c.Warnings) << c.Input;
  }
}

TEST(HTMLParserTest, KeepsAttributesAndFiresCompletedElements) {
  THTMLParser p;
  std::vector<std::string> done;
  p.FOnHTMLTag = [&done](THTMLParser&, TTagNode& N) { done.push_back(N.FCaption); };
  p.ParseEx("<a href = \"x y\" B='z/' c d=e><b></b><br></a>", true);
  ASSERT_EQ(p.Tree().ChildCount(), 1u);
  const TTagNode& a = *p.Tree().GetChild(0);
  EXPECT_EQ(a.FParams.Count(), 4u);
  EXPECT_EQ(a.FParams.GetValue("HREF"), "x y");
  EXPECT_EQ(a.FParams.GetValue("b"), "z/");
  EXPECT_TRUE(a.FParams.Exists("c"));
  EXPECT_EQ(a.FParams.GetValue("c"), "");
  EXPECT_EQ(a.FParams.GetValue("d"), "e");
  EXPECT_EQ(a.FParams.GetValue("missing"), "");
  EXPECT_EQ(done, (std::vector<std::string>{"b", "br", "a"}));
  EXPECT_EQ(a.Find("BR"), 1);
  EXPECT_EQ(a.Find("i"), -1);
  EXPECT_EQ(a.GetChild(1)->FParent, &a);

  // A second parse from inside a callback does nothing; the next parse replaces the tree.
  p.FOnHTMLTag = [](THTMLParser& P, TTagNode&) { P.ParseEx("<other/>", true); };
  p.ParseEx("<x/>", true);
  ASSERT_EQ(p.Tree().ChildCount(), 1u);
  EXPECT_EQ(p.Tree().GetChild(0)->FCaption, "x");
  p.Clear();
  EXPECT_EQ(p.Tree().ChildCount(), 0u);
}

TEST(HTMLParserTest, GathersTextAndSurvivesDeepTrees) {
  THTMLParser p;
  p.ParseEx("<a>1<b>2<!--no-->3</b><c>4</c></a>5<d/>", true);
  EXPECT_EQ(p.Tree().GetPCData(), "12345");
  // Far deeper than any stack would allow recursion for: parsing, gathering and freeing work.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  deep += "x";
  deep += "<z/>";
  p.ParseEx(deep, true);
  EXPECT_EQ(p.Tree().GetPCData(), "x");
  p.ParseEx("<a/>", true);
  EXPECT_EQ(p.Tree().ChildCount(), 1u);
}

TEST(ParamListTest, AddsLooksUpAndSorts) {
  TParamList l;
  l.Add("Zeta=1 beta=\"two words\" alpha='3' flag");
  EXPECT_EQ(l.Count(), 4u);
  EXPECT_EQ(l[0].first, "Zeta");
  EXPECT_EQ(l.GetValue("BETA"), "two words");
  l.SetAutoSort(true);
  EXPECT_EQ(l[0].first, "Zeta");  // four pairs: still in order
  l.Add("Gamma", "4");
  EXPECT_EQ(l[0].first, "alpha");
  EXPECT_EQ(l[4].first, "Zeta");
  for (const char* n : {"alpha", "BETA", "flag", "gamma", "zeta"}) EXPECT_TRUE(l.Exists(n)) << n;
  EXPECT_EQ(l.GetValue("gamma"), "4");
  EXPECT_FALSE(l.Exists("delta"));

  TParamList strict(false);
  strict.Add("a b=1");
  EXPECT_EQ(strict.Count(), 1u);
  EXPECT_EQ(strict.GetValue("b"), "1");
}

TEST(EntitiesTest, EncodesAndDecodes) {
  EXPECT_EQ(EncodeEntities("<a & \"b\" 'c'>\xC2\xA0\xC2\xA9", false),
            "&lt;a &amp; &quot;b&quot; &#39;c&#39;&gt;&nbsp;\xC2\xA9");
  EXPECT_EQ(EncodeEntities("a&amp;b&#39;&x&nbsp", true), "a&amp;b&#39;&amp;x&amp;nbsp");
  EXPECT_EQ(EncodeEntities("a&amp;b", false), "a&amp;amp;b");
  struct TCase {
    const char* In;
    const char* Out;
  } cases[] = {
      {"&nbsp;&iexcl;&yuml;&AElig;&aelig;&ETH;&eth;&THORN;",
       "\xC2\xA0\xC2\xA1\xC3\xBF\xC3\x86\xC3\xA6\xC3\x90\xC3\xB0\xC3\x9E"},
      {"&apos;&quot;&gt;&brkbar;&die;&macr;", "'\">\xC2\xA6\xC2\xA8\xC2\xAF"},
      {"&#8364;&#128512;&#55296;&#1114112;", "\xE2\x82\xAC\xF0\x9F\x98\x80#55296;#1114112;"},
      {"&averyveryverylong;&", "averyveryverylong;"},
      {"&amp&amp;", "amp&"},
      {"&NBSP;", "NBSP;"},
  };
  for (const TCase& c : cases) EXPECT_EQ(DecodeEntities(c.In), c.Out) << c.In;
  // Whatever a text holds, decoding its encoded form gives it back.
  for (const char* s : {"", "plain", "a&b", "&amp;", "&#39;&lt;", "<<&&>>", "\xC2\xA0&nbsp;", "&", "x&#"})
    EXPECT_EQ(DecodeEntities(EncodeEntities(s, false)), s) << s;
}

}  // namespace
}  // namespace vexor
