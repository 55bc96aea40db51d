#pragma once
// The single pass over tag-structured text (HTML and XML alike) behind THTMLParser and the XML
// packet reader: it splits the text into elements, end tags, text, comments, declarations,
// character-data sections and processing instructions, applies the closing rules of the three
// element lists, and hands each finished piece to a sink. It never fails: malformed input gives
// warnings (when the sink asks for them) and a best-effort sequence of events. One tokenizer
// runs on one thread; the element lists and the entity table are constant.
//
// A sink offers:
//   static constexpr bool kWantsWarnings;
//   void Warning(std::string AMessage);
//   void Leaf(int32_t AKind, std::string_view ACaption, std::string_view AText);  // kinds 0, 2-5
//   void Open(std::string_view AName, std::string_view AAttributes, bool AEmpty);
//   void Close(bool AFire);   // the innermost open element ends (AFire: by its end tag or "/>")
//   bool Done() const;        // true stops the pass early
// Every Open is matched by one Close, those of elements still open at the end included (with
// AFire false). The views handed to the sink are valid only during the call.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vexor {

enum : int32_t {
  htnRoot = 0,
  htnElement = 1,
  htnText = 2,
  htnComment = 3,
  htnDeclaration = 4,
  htnCData = 5,
};

// Entity text of the six characters <, &, >, ", ' and U+00A0; with AKeepEntities an "&" that
// already starts one of those six entities is copied unchanged with its body.
void AppendEncodedEntities(std::string& ADest, std::string_view AText, bool AKeepEntities);
std::string EncodeEntities(std::string_view AText, bool AKeepEntities);
// Decodes named (104 names) and decimal entities; an "&" that starts none loses itself.
void AppendDecodedEntities(std::string& ADest, std::string_view AText);
std::string DecodeEntities(std::string_view AText);

namespace tagtext {

inline bool IsSpace(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

inline std::string_view Trim(std::string_view S) {
  while (!S.empty() && IsSpace(S.front())) S.remove_prefix(1);
  while (!S.empty() && IsSpace(S.back())) S.remove_suffix(1);
  return S;
}

inline std::string_view TrimRight(std::string_view S) {
  while (!S.empty() && IsSpace(S.back())) S.remove_suffix(1);
  return S;
}

inline char Lower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; }

inline bool SameLower(std::string_view ALower, std::string_view AName) {
  if (ALower.size() != AName.size()) return false;
  for (size_t i = 0; i < AName.size(); ++i)
    if (ALower[i] != Lower(AName[i])) return false;
  return true;
}

// True when ALower is one of the names of a "|a|b|" list.
inline bool InList(const char* AList, std::string_view ALower) {
  if (ALower.empty() || ALower.size() > 16) return false;
  char key[20];
  key[0] = '|';
  std::memcpy(key + 1, ALower.data(), ALower.size());
  key[ALower.size() + 1] = '|';
  key[ALower.size() + 2] = 0;
  return std::strstr(AList, key) != nullptr;
}

inline constexpr const char kOmitEndTag[] = "|p|dt|dd|li|option|thead|tfoot|colgroup|tr|th|td|body|html|head|";
inline constexpr const char kClosesP[] =
    "|p|h1|h2|h3|h4|h5|h6|ul|ol|dir|menu|pre|dl|div|center|noscript|noframes|blockquote|form|isindex|hr|"
    "table|fieldset|address|";
// The void elements ("|basefont|br|area|link|img|hr|input|col|frame|isindex|base|meta|"), asked
// of every element, so without a search through a list.
inline bool IsVoid(std::string_view L) {
  switch (L.size()) {
    case 2: return L == "br" || L == "hr";
    case 3: return L == "img" || L == "col";
    case 4: return L == "area" || L == "link" || L == "base" || L == "meta";
    case 5: return L == "input" || L == "frame";
    case 7: return L == "isindex";
    case 8: return L == "basefont";
    default: return false;
  }
}

// The element name of a tag text (its first piece between white space) and the rest.
inline void SplitTag(std::string_view ATag, std::string_view& AName, std::string_view& ARest) {
  size_t b = 0;
  while (b < ATag.size() && IsSpace(ATag[b])) ++b;
  size_t e = b;
  while (e < ATag.size() && !IsSpace(ATag[e])) ++e;
  AName = ATag.substr(b, e - b);
  ARest = ATag.substr(e);
}

// Calls AOn(name, value, hasValue) for each attribute of a tag's attribute text: pieces split at
// white space outside quotes, "name=value" with white space around "=" skipped and the value's
// quotes (double or single) removed; a name without "=" has no value.
template <class F>
void ForEachAttribute(std::string_view A, F&& AOn) {
  size_t i = 0;
  const size_t n = A.size();
  while (i < n) {
    while (i < n && IsSpace(A[i])) ++i;
    if (i >= n) break;
    size_t nb = i;
    while (i < n && !IsSpace(A[i]) && A[i] != '=') ++i;
    std::string_view name = A.substr(nb, i - nb);
    size_t j = i;
    while (j < n && IsSpace(A[j])) ++j;
    if (j >= n || A[j] != '=') {
      AOn(name, std::string_view(), false);
      continue;
    }
    i = j + 1;
    while (i < n && IsSpace(A[i])) ++i;
    std::string_view value;
    if (i < n && (A[i] == '"' || A[i] == '\'')) {
      const char q = A[i++];
      size_t vb = i;
      while (i < n && A[i] != q) ++i;
      value = A.substr(vb, i - vb);
      if (i < n) ++i;
    } else {
      size_t vb = i;
      while (i < n && !IsSpace(A[i])) ++i;
      value = A.substr(vb, i - vb);
    }
    AOn(name, value, true);
  }
}

}  // namespace tagtext

template <class TSink>
class TTagTokenizer {
 public:
  TTagTokenizer(std::string_view AText, bool ASkipEmptyText, TSink& ASink)
      : FText(AText), FSkipEmpty(ASkipEmptyText), FSink(ASink) {}

  void Run() {
    const char* s = FText.data();
    const size_t n = FText.size();
    size_t i = 0;
    // A byte-order mark is skipped before anything else only: elsewhere it is text.
    if (n >= 3 && static_cast<unsigned char>(s[0]) == 0xEF && static_cast<unsigned char>(s[1]) == 0xBB &&
        static_cast<unsigned char>(s[2]) == 0xBF)
      i = 3;
    NewToken(i);
    while (i < n && !FSink.Done()) {
      const char c = s[i];
      switch (FState) {
        case stText: {
          // Runs of plain text in one step; stray ">" are reported and left out.
          if (FNextLt == kUnknown || FNextLt < i) {
            const char* p = static_cast<const char*>(std::memchr(s + i, '<', n - i));
            FNextLt = p ? static_cast<size_t>(p - s) : n;
          }
          const char* g = static_cast<const char*>(std::memchr(s + i, '>', FNextLt - i));
          if (g) {
            i = static_cast<size_t>(g - s);
            Warn('>', i);
            Skip(i);
            ++i;
            continue;
          }
          if (FNextLt == n) return;  // text after the last tag makes no node
          i = FNextLt;
          EmitText(Token(i));
          Enter(stStartTag, i + 1);
          break;
        }
        case stStartTag:
          if (i == FRunStart && !FDirty) {
            if (c == '/') {
              Enter(stEndTag, i + 1);
              break;
            }
            if (c == '!') {
              const bool comment = i + 2 < n && s[i + 1] == '-' && s[i + 2] == '-';
              Enter(comment ? stComment : stDecl, i + 1);
              break;
            }
            if (c == '?') {
              Enter(stPI, i + 1);
              break;
            }
          }
          if (c == '<') {
            Warn('<', i);
            Skip(i);
          } else if (c == '/' && i + 1 < n && s[i + 1] == '>') {
            Skip(i);
            FEmpty = true;
          } else if (c == '>') {
            Element(Token(i));
            Enter(stText, i + 1);
          } else {
            // Plain characters of the tag in one step.
            size_t j = i + 1;
            while (j < n && s[j] != '<' && s[j] != '>' && s[j] != '/') ++j;
            i = j;
            continue;
          }
          break;
        case stEndTag: {
          size_t j = i;
          while (j < n && s[j] != '<' && s[j] != '>') ++j;
          if (j == n) return;
          i = j;
          if (s[i] == '<') {
            EmitText(Token(i));
            Enter(stStartTag, i + 1);
          } else {
            EndTag(Token(i), i);
            Enter(stText, i + 1);
          }
          break;
        }
        case stComment:
          if (c == '>' && EndsWithDashes(Token(i))) {
            CommentNode(Token(i));
            Enter(stText, i + 1);
          }
          break;
        case stDecl:
          if (c == '<') {
            EmitText(Token(i));
            Enter(stStartTag, i + 1);
          } else if (c == '>') {
            DeclNode(Token(i));
            Enter(stText, i + 1);
          } else if (c == '-' && i > 0 && tagtext::IsSpace(s[i - 1]) && i + 1 < n && s[i + 1] == '-') {
            FState = stDeclComment;
          } else if (c == '[') {
            FState = stDeclBracket;
          }
          break;
        case stDeclComment:
          if (c == '-' && i + 1 < n && s[i + 1] == '-') {
            FState = stDecl;
          } else if (c == '>') {
            Warn('>', i);
            Skip(i);
          }
          break;
        case stDeclBracket:
          if (c == ']' && i + 1 < n && s[i + 1] == '>') FState = stDecl;
          break;
        case stPI:
          if (c == '?') {
            Skip(i);
          } else if (c == '<') {
            EmitText(Token(i));
            Enter(stStartTag, i + 1);
          } else if (c == '>') {
            PINode(Token(i));
            Enter(stText, i + 1);
          }
          break;
      }
      ++i;
    }
  }

  // Closes what is still open (the tree keeps such elements as they are).
  void Finish() {
    while (!FOpen.empty()) {
      FOpen.pop_back();
      FSink.Close(false);
    }
  }

 private:
  enum TState { stText, stStartTag, stEndTag, stComment, stDecl, stDeclComment, stDeclBracket, stPI };

  std::string_view FText;
  bool FSkipEmpty;
  TSink& FSink;
  TState FState = stText;
  // The current token: collected characters are the run from FRunStart; when a character inside
  // it is left out, what came before goes to FBuffer (FDirty).
  size_t FRunStart = 0;
  bool FDirty = false;
  bool FEmpty = false;  // the start tag ended in "/>"
  std::string FBuffer;
  std::string FScratch;  // decoded text, captions
  // Lower-case names of the open elements, innermost last.
  std::vector<std::string> FOpen;
  // Where the row and column counters stand (advanced only when a warning needs them).
  size_t FCountedTo = 0;
  static constexpr size_t kUnknown = ~size_t(0);
  size_t FNextLt = kUnknown;  // where the next "<" is, once looked for

  int FRow = 1, FCol = 1;

  void NewToken(size_t AStart) {
    FRunStart = AStart;
    FDirty = false;
    FEmpty = false;
  }

  void Enter(TState AState, size_t AStart) {
    FState = AState;
    NewToken(AStart);
  }

  // Leaves the character at AAt out of the token.
  void Skip(size_t AAt) {
    if (!FDirty) {
      FBuffer.assign(FText.data() + FRunStart, AAt - FRunStart);
      FDirty = true;
    } else {
      FBuffer.append(FText.data() + FRunStart, AAt - FRunStart);
    }
    FRunStart = AAt + 1;
  }

  // The token collected before AEnd (valid until the next token starts; asking again later
  // gives the longer token).
  std::string_view Token(size_t AEnd) {
    if (!FDirty) return FText.substr(FRunStart, AEnd - FRunStart);
    FBuffer.append(FText.data() + FRunStart, AEnd - FRunStart);
    FRunStart = AEnd;
    return FBuffer;
  }

  static bool EndsWithDashes(std::string_view ATok) {
    ATok = tagtext::TrimRight(ATok);
    return ATok.size() >= 2 && ATok[ATok.size() - 1] == '-' && ATok[ATok.size() - 2] == '-';
  }

  // Row and column of the character at AAt: rows advance at line feeds, columns count UTF-16
  // units and wrap to 1 (a new row) after 256.
  void Position(size_t AAt) {
    for (; FCountedTo < AAt; ++FCountedTo) {
      const unsigned char c = static_cast<unsigned char>(FText[FCountedTo]);
      if (c == '\n') {
        ++FRow;
        FCol = 1;
        continue;
      }
      if ((c & 0xC0) == 0x80) continue;
      FCol += c >= 0xF0 ? 2 : 1;
      if (FCol > 256) {
        FCol = 1;
        ++FRow;
      }
    }
  }

  std::string At(size_t AAt) {
    Position(AAt);
    return " [Row:" + std::to_string(FRow) + ",Col:" + std::to_string(FCol) + "]";
  }

  void Warn(char AChar, size_t AAt) {
    if constexpr (TSink::kWantsWarnings) {
      std::string m = "Unexpected \"";
      m.push_back(AChar);
      m += "\" encountered";
      FSink.Warning(m + At(AAt));
    }
  }

  void EmitText(std::string_view ATok) {
    if (FSkipEmpty) ATok = tagtext::Trim(ATok);
    if (ATok.empty()) return;
    if (std::memchr(ATok.data(), '&', ATok.size())) {
      FScratch.clear();
      AppendDecodedEntities(FScratch, ATok);
      FSink.Leaf(htnText, "PCDATA", FScratch);
    } else {
      FSink.Leaf(htnText, "PCDATA", ATok);
    }
  }

  void CommentNode(std::string_view ATok) {
    ATok = tagtext::Trim(ATok);
    if (ATok.size() >= 2 && ATok[0] == '-' && ATok[1] == '-') ATok.remove_prefix(2);
    if (ATok.size() >= 2 && ATok[ATok.size() - 1] == '-' && ATok[ATok.size() - 2] == '-') ATok.remove_suffix(2);
    FSink.Leaf(htnComment, "!", tagtext::Trim(ATok));
  }

  void DeclNode(std::string_view ATok) {
    ATok = tagtext::Trim(ATok);
    if (ATok.empty()) {
      FSink.Leaf(htnRoot, {}, {});
      return;
    }
    if (ATok.substr(0, 6) == "[CDATA") {
      std::string_view body = ATok.size() > 7 ? ATok.substr(7) : std::string_view();
      if (body.size() >= 2 && body.substr(body.size() - 2) == "]]") body.remove_suffix(2);
      FSink.Leaf(htnCData, "CDATA", tagtext::TrimRight(body));
      return;
    }
    const size_t sp = ATok.find(' ');
    FScratch.assign("?");
    FScratch.append(ATok.substr(0, sp));
    FSink.Leaf(htnDeclaration, FScratch, sp == std::string_view::npos ? std::string_view() : ATok.substr(sp + 1));
  }

  void PINode(std::string_view ATok) {
    ATok = tagtext::Trim(ATok);
    const size_t sp = ATok.find(' ');
    if (sp == std::string_view::npos) {
      FSink.Leaf(htnRoot, {}, {});
      return;
    }
    std::string caption = "?";
    caption.append(ATok.substr(0, sp));
    std::string text(ATok.substr(sp + 1));
    text.push_back('?');
    FSink.Leaf(htnDeclaration, caption, text);
  }

  void Element(std::string_view ATag) {
    const bool empty = FEmpty;
    std::string_view name, attrs;
    tagtext::SplitTag(ATag, name, attrs);
    std::string lower(name);
    for (char& ch : lower) ch = tagtext::Lower(ch);
    if (!FOpen.empty()) {
      const std::string& top = FOpen.back();
      if (top == lower ? tagtext::InList(tagtext::kOmitEndTag, top)
                       : top == "p" && tagtext::InList(tagtext::kClosesP, lower)) {
        FOpen.pop_back();
        FSink.Close(false);
      }
    }
    const bool isVoid = empty || tagtext::IsVoid(lower);
    FSink.Open(name, attrs, isVoid);
    if (isVoid)
      FSink.Close(true);
    else
      FOpen.push_back(std::move(lower));
  }

  void EndTag(std::string_view ATok, size_t AAt) {
    std::string_view name, rest;
    tagtext::SplitTag(ATok, name, rest);
    for (size_t k = FOpen.size(); k-- > 0;) {
      if (tagtext::SameLower(FOpen[k], name)) {
        while (FOpen.size() > k) {
          FOpen.pop_back();
          FSink.Close(true);
        }
        return;
      }
    }
    if constexpr (TSink::kWantsWarnings)
      FSink.Warning("End tag found without matching start tag: " + std::string(name) + At(AAt));
  }
};

}  // namespace vexor
