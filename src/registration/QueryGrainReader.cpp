#include "QueryGrainReader.h"

#include <cstring>

namespace Qel_nmos_bridge {

namespace {

// What a value is to a grain.
enum TRole : uint8_t { rOther, rRoot, rGrain, rData, rItem, rPre, rPost };
// What a text value is to a grain.
enum TSlot : uint8_t { sNone, sTopic, sPath, sLabel };
enum TExpect : uint8_t { eValue, eValueOrEnd, eKey, eKeyOrEnd, eColon, eCommaOrEnd };
enum TLex : uint8_t { lxNone, lxString, lxEscape, lxUnicode, lxNumber, lxLiteral };
// After a character of a token: taken, the message found broken, or the token ended and the character
// is to be read as structure.
enum TNext : uint8_t { nTaken, nBroken, nStructure };

struct TFrame {
  bool IsObject;
  TRole Role;
  TExpect Expect;
  std::string Key; // the member under way (objects)
  bool KeyTooLong = false;
};

constexpr size_t MaxKey = 64;
constexpr size_t MaxToken = 512;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool ValidNumber(const std::string& t) {
  size_t i = 0, n = t.size();
  auto digits = [&] {
    size_t start = i;
    while (i < n && t[i] >= '0' && t[i] <= '9')
      ++i;
    return i - start;
  };
  if (i < n && t[i] == '-') ++i;
  if (i < n && t[i] == '0')
    ++i;
  else if (digits() == 0)
    return false;
  if (i < n && t[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == n;
}

void AppendUTF8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

} // namespace

struct TGrainReader::TState {
  std::vector<TFrame> Stack;
  bool Done = false; // the root value is complete
  bool HasGrain = false;
  // The token under way.
  TLex Lex = lxNone;
  bool StringIsKey = false;
  TSlot Slot = sNone;      // of the text or scalar under way
  TRole ScalarIn = rOther; // role of the container the scalar is in
  std::string ScalarKey;   // and its member name there
  bool Keep = false;
  std::string Text;
  bool TextTooLong = false;
  uint32_t Unicode = 0;
  int UnicodeDigits = 0;
  uint32_t HighSurrogate = 0;
  std::string Token;
  // The grain.
  std::string Topic;
  bool TopicKnown = false;
  TGrainItem Item;
  std::vector<TGrainItem> Waiting;

  void Emit(TGrainReader& r, const TGrainItem& item);
  TRole BeginValue(TGrainReader& r, bool object, bool array);
  TRole BeginInItem(const std::string& key, bool object, bool array);
  void EndValue();
  TSlot ScalarSlot() const;
  void EndScalar(TGrainReader& r, bool text, bool isNull);
  void BeginText(bool isKey, bool keep);
  void KeepChar(char c);
  static TNext Broken(TGrainReader& r, const char* why);
  TNext LexString(TGrainReader& r, char c);
  TNext LexEscape(TGrainReader& r, char c);
  TNext LexUnicode(TGrainReader& r, char c);
  TNext LexNumber(TGrainReader& r, char c);
  TNext LexLiteral(TGrainReader& r, char c);
  bool Structure(TGrainReader& r, char c);
  bool Value(TGrainReader& r, char c);
  void EndContainer(TGrainReader& r);
};

namespace {
const std::string NoKey;
const std::string& KeyOf(const TFrame& f) {
  return f.KeyTooLong ? NoKey : f.Key;
}
} // namespace

void TGrainReader::TState::Emit(TGrainReader& r, const TGrainItem& item) {
  ++r.FItems;
  if (TopicKnown)
    r.FHandler(Topic, item);
  else if (Waiting.size() < MaxWaiting)
    Waiting.push_back(item);
}

// What a value starting now is to the grain; marks "pre" and "post" as saying something.
TRole TGrainReader::TState::BeginValue(TGrainReader& r, bool object, bool array) {
  if (Stack.empty()) return object ? rRoot : rOther;
  const TFrame& parent = Stack.back();
  const std::string& key = KeyOf(parent);
  switch (parent.Role) {
  case rRoot:
    if (key == "grain" && object) {
      HasGrain = true;
      return rGrain;
    }
    return rOther;
  case rGrain:
    return key == "data" && array ? rData : rOther;
  case rData:
    if (object) {
      Item = TGrainItem();
      Item.IsObject = true;
      return rItem;
    }
    Emit(r, TGrainItem());
    return rOther;
  case rItem:
    return BeginInItem(key, object, array);
  case rPre:
  case rPost:
    (parent.Role == rPre ? Item.Pre : Item.Post) = TGrainItem::Present;
    if (parent.Role == rPost && parent.IsObject && key == "label" && (object || array))
      Item.LabelKind = TGrainItem::Other;
    return rOther;
  default:
    return rOther;
  }
}

TRole TGrainReader::TState::BeginInItem(const std::string& key, bool object, bool array) {
  if (key == "path" && (object || array)) Item.PathKind = TGrainItem::Other;
  if ((key == "pre" || key == "post") && (object || array)) {
    (key == "pre" ? Item.Pre : Item.Post) = TGrainItem::Empty;
    return key == "pre" ? rPre : rPost;
  }
  return rOther;
}

// The value just ended: the container it is in expects a comma or its end.
void TGrainReader::TState::EndValue() {
  if (Stack.empty())
    Done = true;
  else
    Stack.back().Expect = eCommaOrEnd;
}

TSlot TGrainReader::TState::ScalarSlot() const {
  if (Stack.empty()) return sNone;
  const TFrame& parent = Stack.back();
  const std::string& key = KeyOf(parent);
  if (parent.Role == rGrain && key == "topic") return sTopic;
  if (parent.Role == rItem && key == "path") return sPath;
  if (parent.Role == rPost && parent.IsObject && key == "label") return sLabel;
  return sNone;
}

// A scalar (text, number, literal) ended; `text` tells which kind.
void TGrainReader::TState::EndScalar(TGrainReader& r, bool text, bool isNull) {
  if (!Stack.empty()) {
    const TFrame& parent = Stack.back();
    const std::string& key = KeyOf(parent);
    const TGrainItem::TKind kind = text && !TextTooLong ? TGrainItem::Text : TGrainItem::Other;
    const bool isText = kind == TGrainItem::Text;
    if (Slot == sTopic && isText) {
      Topic = Text;
      TopicKnown = true;
      for (const TGrainItem& item : Waiting)
        r.FHandler(Topic, item);
      Waiting.clear();
    } else if (Slot == sPath) {
      Item.PathKind = kind;
      Item.Path = isText ? Text : std::string();
    } else if (Slot == sLabel) {
      Item.LabelKind = kind;
      Item.Label = isText ? Text : std::string();
    }
    if (parent.Role == rItem && (key == "pre" || key == "post"))
      (key == "pre" ? Item.Pre : Item.Post) = isNull ? TGrainItem::Absent : TGrainItem::Present;
  }
  Slot = sNone;
  Text.clear();
  TextTooLong = false;
  EndValue();
}

void TGrainReader::TState::BeginText(bool isKey, bool keep) {
  Lex = lxString;
  StringIsKey = isKey;
  Keep = keep;
  Text.clear();
  TextTooLong = false;
}

void TGrainReader::TState::KeepChar(char c) {
  if (!Keep) return;
  if (Text.size() < (StringIsKey ? MaxKey : MaxText))
    Text += c;
  else
    TextTooLong = true;
}

TNext TGrainReader::TState::Broken(TGrainReader& r, const char* why) {
  r.Fail(why);
  return nBroken;
}

TNext TGrainReader::TState::LexString(TGrainReader& r, char c) {
  if (c == '"') {
    if (HighSurrogate) return Broken(r, "a lone surrogate in a text");
    Lex = lxNone;
    if (StringIsKey) {
      TFrame& f = Stack.back();
      f.Key = Text;
      f.KeyTooLong = TextTooLong;
      f.Expect = eColon;
      Text.clear();
      TextTooLong = false;
    } else {
      EndScalar(r, true, false);
    }
    return nTaken;
  }
  if (c == '\\') {
    Lex = lxEscape;
    return nTaken;
  }
  if (static_cast<unsigned char>(c) < 0x20) return Broken(r, "a control character in a text");
  if (HighSurrogate) return Broken(r, "a lone surrogate in a text");
  KeepChar(c);
  return nTaken;
}

namespace {
// The character an escape stands for; 0 for none ('u' is handled apart).
char Unescaped(char c) {
  switch (c) {
  case '"':
  case '\\':
  case '/':
    return c;
  case 'b':
    return '\b';
  case 'f':
    return '\f';
  case 'n':
    return '\n';
  case 'r':
    return '\r';
  case 't':
    return '\t';
  default:
    return 0;
  }
}
} // namespace

TNext TGrainReader::TState::LexEscape(TGrainReader& r, char c) {
  if (c == 'u') {
    Lex = lxUnicode;
    Unicode = 0;
    UnicodeDigits = 0;
    return nTaken;
  }
  const char out = Unescaped(c);
  if (!out) return Broken(r, "a bad escape in a text");
  if (HighSurrogate) return Broken(r, "a lone surrogate in a text");
  Lex = lxString;
  KeepChar(out);
  return nTaken;
}

TNext TGrainReader::TState::LexUnicode(TGrainReader& r, char c) {
  const int v = HexValue(c);
  if (v < 0) return Broken(r, "a bad \\u escape in a text");
  Unicode = (Unicode << 4) | static_cast<uint32_t>(v);
  if (++UnicodeDigits < 4) return nTaken;
  Lex = lxString;
  uint32_t cp = Unicode;
  if (HighSurrogate) {
    if (cp < 0xDC00 || cp > 0xDFFF) return Broken(r, "a lone surrogate in a text");
    cp = 0x10000 + ((HighSurrogate - 0xD800) << 10) + (cp - 0xDC00);
    HighSurrogate = 0;
  } else if (cp >= 0xD800 && cp <= 0xDBFF) {
    HighSurrogate = cp;
    return nTaken;
  } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
    return Broken(r, "a lone surrogate in a text");
  }
  if (Keep) {
    if (Text.size() + 4 <= (StringIsKey ? MaxKey : MaxText))
      AppendUTF8(Text, cp);
    else
      TextTooLong = true;
  }
  return nTaken;
}

TNext TGrainReader::TState::LexNumber(TGrainReader& r, char c) {
  if (IsNumberChar(c)) {
    if (Token.size() >= MaxToken) return Broken(r, "a number too long");
    Token += c;
    return nTaken;
  }
  if (!ValidNumber(Token)) return Broken(r, "a bad number");
  Lex = lxNone;
  Token.clear();
  EndScalar(r, false, false);
  return nStructure;
}

TNext TGrainReader::TState::LexLiteral(TGrainReader& r, char c) {
  if (c >= 'a' && c <= 'z') {
    if (Token.size() >= 5) return Broken(r, "a bad literal");
    Token += c;
    return nTaken;
  }
  if (Token != "true" && Token != "false" && Token != "null") return Broken(r, "a bad literal");
  Lex = lxNone;
  const bool isNull = Token == "null";
  Token.clear();
  EndScalar(r, false, isNull);
  return nStructure;
}

// A character between tokens: the punctuation of the containers, or the start of a value.
bool TGrainReader::TState::Structure(TGrainReader& r, char c) {
  if (IsSpace(c)) return true;
  if (Done) return r.Fail("text after the end of the message");
  const TExpect expect = Stack.empty() ? eValue : Stack.back().Expect;
  switch (expect) {
  case eKeyOrEnd:
  case eKey:
    if (c == '"') {
      BeginText(true, true);
      return true;
    }
    if (c == '}' && expect == eKeyOrEnd) break; // ends the object, below
    return r.Fail("a member name expected");
  case eColon:
    if (c != ':') return r.Fail("':' expected");
    Stack.back().Expect = eValue;
    return true;
  case eCommaOrEnd: {
    TFrame& f = Stack.back();
    if (c == ',') {
      f.Expect = f.IsObject ? eKey : eValue;
      return true;
    }
    if ((c == '}' && f.IsObject) || (c == ']' && !f.IsObject)) break; // ends it, below
    return r.Fail("',' or the end of a container expected");
  }
  case eValue:
  case eValueOrEnd:
    if (c == ']' && expect == eValueOrEnd) break; // ends the array, below
    return Value(r, c);
  }
  EndContainer(r);
  return true;
}

bool TGrainReader::TState::Value(TGrainReader& r, char c) {
  if (c == '{' || c == '[') {
    if (Stack.size() >= 64) return r.Fail("nested too deeply");
    const bool object = c == '{';
    const TRole role = BeginValue(r, object, !object);
    Stack.push_back(TFrame{object, role, object ? eKeyOrEnd : eValueOrEnd, std::string()});
    return true;
  }
  if (c == '"' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) {
    BeginValue(r, false, false);
    Slot = ScalarSlot();
    if (c == '"') {
      BeginText(false, Slot != sNone);
    } else {
      Lex = (c >= 'a' && c <= 'z') ? lxLiteral : lxNumber;
      Token.assign(1, c);
    }
    return true;
  }
  return r.Fail("a value expected");
}

// The character ends the innermost container.
void TGrainReader::TState::EndContainer(TGrainReader& r) {
  const TRole role = Stack.back().Role;
  Stack.pop_back();
  if (role == rItem) Emit(r, Item);
  EndValue();
}

TGrainReader::TGrainReader(size_t maxBytes, TItemHandler handler)
    : FMaxBytes(maxBytes), FHandler(std::move(handler)), S(std::make_unique<TState>()) {}

TGrainReader::~TGrainReader() = default;

bool TGrainReader::HasGrain() const {
  return S->HasGrain;
}

void TGrainReader::Reset() {
  S = std::make_unique<TState>();
  FBytes = 0;
  FItems = 0;
  FFailed = FTooBig = FFinished = false;
  FError.clear();
}

bool TGrainReader::Fail(const char* why) {
  if (!FFailed) FError = std::string(why) + " at byte " + std::to_string(FBytes);
  FFailed = true;
  S->Waiting.clear();
  return false;
}

void TGrainReader::Feed(const char* data, size_t len) {
  if (FFinished) Reset();
  if (FFailed || FTooBig) return;
  if (len > FMaxBytes - FBytes) {
    FTooBig = true;
    FBytes = FMaxBytes + 1;
    S->Waiting.clear();
    return;
  }
  for (size_t i = 0; i < len; ++i) {
    ++FBytes;
    if (!Step(data[i])) return;
  }
}

TGrainReader::TResult TGrainReader::Finish() {
  if (FFinished) Reset(); // an empty message
  FFinished = true;
  if (FTooBig) return grTooBig;
  // A number or literal at the very end has no character after it to end it.
  if (!FFailed && (S->Lex == lxNumber || S->Lex == lxLiteral)) Step(' ');
  if (!FFailed && (!S->Done || S->Lex != lxNone)) Fail("the message ends inside a value");
  return FFailed ? grNotJSON : grWhole;
}

// One character. False once the message is found broken.
bool TGrainReader::Step(char c) {
  TState& s = *S;
  TNext next = nStructure;
  switch (s.Lex) {
  case lxString:
    next = s.LexString(*this, c);
    break;
  case lxEscape:
    next = s.LexEscape(*this, c);
    break;
  case lxUnicode:
    next = s.LexUnicode(*this, c);
    break;
  case lxNumber:
    next = s.LexNumber(*this, c);
    break;
  case lxLiteral:
    next = s.LexLiteral(*this, c);
    break;
  case lxNone:
    break;
  }
  if (next != nStructure) return next == nTaken;
  return s.Structure(*this, c);
}

} // namespace Qel_nmos_bridge
