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
};

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

  auto emit = [&](const TGrainItem& item) {
    ++FItems;
    if (s.TopicKnown) {
      FHandler(s.Topic, item);
    } else if (s.Waiting.size() < MaxWaiting) {
      s.Waiting.push_back(item);
    }
  };

  // What a value starting now is to the grain; marks "pre" and "post" as saying something.
  auto beginValue = [&](bool object, bool array) -> TRole {
    if (s.Stack.empty()) return object ? rRoot : rOther;
    TFrame& parent = s.Stack.back();
    const std::string& key = parent.KeyTooLong ? std::string() : parent.Key;
    switch (parent.Role) {
    case rRoot:
      if (key == "grain" && object) {
        s.HasGrain = true;
        return rGrain;
      }
      return rOther;
    case rGrain:
      if (key == "data" && array) return rData;
      return rOther;
    case rData:
      if (object) {
        s.Item = TGrainItem();
        s.Item.IsObject = true;
        return rItem;
      }
      emit(TGrainItem());
      return rOther;
    case rItem:
      if (key == "path" && !(!object && !array)) s.Item.PathKind = TGrainItem::Other;
      if (key == "pre" || key == "post") {
        TGrainItem::TPresence& p = key == "pre" ? s.Item.Pre : s.Item.Post;
        if (object || array) {
          p = TGrainItem::Empty;
          return key == "pre" ? rPre : rPost;
        }
      }
      return rOther;
    case rPre:
    case rPost: {
      (parent.Role == rPre ? s.Item.Pre : s.Item.Post) = TGrainItem::Present;
      if (parent.Role == rPost && parent.IsObject && key == "label" && (object || array))
        s.Item.LabelKind = TGrainItem::Other;
      return rOther;
    }
    default:
      return rOther;
    }
  };

  // The value just ended: the container it is in expects a comma or its end.
  auto endValue = [&] {
    if (s.Stack.empty())
      s.Done = true;
    else
      s.Stack.back().Expect = eCommaOrEnd;
  };

  auto scalarSlot = [&]() -> TSlot {
    if (s.Stack.empty()) return sNone;
    const TFrame& parent = s.Stack.back();
    const std::string& key = parent.KeyTooLong ? std::string() : parent.Key;
    if (parent.Role == rGrain && key == "topic") return sTopic;
    if (parent.Role == rItem && key == "path") return sPath;
    if (parent.Role == rPost && parent.IsObject && key == "label") return sLabel;
    return sNone;
  };

  // A scalar (text, number, literal) ended; `text` tells which kind.
  auto endScalar = [&](bool text, bool isNull) {
    if (!s.Stack.empty()) {
      const TFrame& parent = s.Stack.back();
      const std::string& key = parent.KeyTooLong ? std::string() : parent.Key;
      const TGrainItem::TKind kind = text && !s.TextTooLong ? TGrainItem::Text : TGrainItem::Other;
      switch (s.Slot) {
      case sTopic:
        if (kind == TGrainItem::Text) {
          s.Topic = s.Text;
          s.TopicKnown = true;
          for (const TGrainItem& item : s.Waiting)
            FHandler(s.Topic, item);
          s.Waiting.clear();
        }
        break;
      case sPath:
        s.Item.PathKind = kind;
        s.Item.Path = kind == TGrainItem::Text ? s.Text : std::string();
        break;
      case sLabel:
        s.Item.LabelKind = kind;
        s.Item.Label = kind == TGrainItem::Text ? s.Text : std::string();
        break;
      default:
        break;
      }
      if (parent.Role == rItem && (key == "pre" || key == "post"))
        (key == "pre" ? s.Item.Pre : s.Item.Post) = isNull ? TGrainItem::Absent : TGrainItem::Present;
    }
    s.Slot = sNone;
    s.Text.clear();
    s.TextTooLong = false;
    endValue();
  };

  switch (s.Lex) {
  case lxString:
    if (c == '"') {
      if (s.HighSurrogate) return Fail("a lone surrogate in a text");
      s.Lex = lxNone;
      if (s.StringIsKey) {
        TFrame& f = s.Stack.back();
        f.Key = s.Text;
        f.KeyTooLong = s.TextTooLong;
        f.Expect = eColon;
        s.Text.clear();
        s.TextTooLong = false;
      } else {
        endScalar(true, false);
      }
      return true;
    }
    if (c == '\\') {
      s.Lex = lxEscape;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a text");
    if (s.HighSurrogate) return Fail("a lone surrogate in a text");
    if (s.Keep) {
      if (s.Text.size() < (s.StringIsKey ? MaxKey : MaxText))
        s.Text += c;
      else
        s.TextTooLong = true;
    }
    return true;
  case lxEscape: {
    char out = 0;
    switch (c) {
    case '"':
      out = '"';
      break;
    case '\\':
      out = '\\';
      break;
    case '/':
      out = '/';
      break;
    case 'b':
      out = '\b';
      break;
    case 'f':
      out = '\f';
      break;
    case 'n':
      out = '\n';
      break;
    case 'r':
      out = '\r';
      break;
    case 't':
      out = '\t';
      break;
    case 'u':
      s.Lex = lxUnicode;
      s.Unicode = 0;
      s.UnicodeDigits = 0;
      return true;
    default:
      return Fail("a bad escape in a text");
    }
    if (s.HighSurrogate) return Fail("a lone surrogate in a text");
    s.Lex = lxString;
    if (s.Keep) {
      if (s.Text.size() < (s.StringIsKey ? MaxKey : MaxText))
        s.Text += out;
      else
        s.TextTooLong = true;
    }
    return true;
  }
  case lxUnicode: {
    const int v = HexValue(c);
    if (v < 0) return Fail("a bad \\u escape in a text");
    s.Unicode = (s.Unicode << 4) | static_cast<uint32_t>(v);
    if (++s.UnicodeDigits < 4) return true;
    s.Lex = lxString;
    uint32_t cp = s.Unicode;
    if (s.HighSurrogate) {
      if (cp < 0xDC00 || cp > 0xDFFF) return Fail("a lone surrogate in a text");
      cp = 0x10000 + ((s.HighSurrogate - 0xD800) << 10) + (cp - 0xDC00);
      s.HighSurrogate = 0;
    } else if (cp >= 0xD800 && cp <= 0xDBFF) {
      s.HighSurrogate = cp;
      return true;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return Fail("a lone surrogate in a text");
    }
    if (s.Keep) {
      if (s.Text.size() + 4 <= (s.StringIsKey ? MaxKey : MaxText))
        AppendUTF8(s.Text, cp);
      else
        s.TextTooLong = true;
    }
    return true;
  }
  case lxNumber:
    if (IsNumberChar(c)) {
      if (s.Token.size() >= MaxToken) return Fail("a number too long");
      s.Token += c;
      return true;
    }
    if (!ValidNumber(s.Token)) return Fail("a bad number");
    s.Lex = lxNone;
    s.Token.clear();
    endScalar(false, false);
    break; // c is looked at below
  case lxLiteral:
    if (c >= 'a' && c <= 'z') {
      if (s.Token.size() >= 5) return Fail("a bad literal");
      s.Token += c;
      return true;
    }
    if (s.Token != "true" && s.Token != "false" && s.Token != "null") return Fail("a bad literal");
    s.Lex = lxNone;
    {
      const bool isNull = s.Token == "null";
      s.Token.clear();
      endScalar(false, isNull);
    }
    break; // c is looked at below
  default:
    break;
  }

  if (IsSpace(c)) return true;
  if (s.Done) return Fail("text after the end of the message");

  TExpect expect = s.Stack.empty() ? eValue : s.Stack.back().Expect;
  switch (expect) {
  case eKeyOrEnd:
  case eKey:
    if (c == '"') {
      s.Lex = lxString;
      s.StringIsKey = true;
      s.Keep = true;
      s.Text.clear();
      s.TextTooLong = false;
      return true;
    }
    if (c == '}' && expect == eKeyOrEnd) break; // ends the object, below
    return Fail("a member name expected");
  case eColon:
    if (c != ':') return Fail("':' expected");
    s.Stack.back().Expect = eValue;
    return true;
  case eCommaOrEnd: {
    TFrame& f = s.Stack.back();
    if (c == ',') {
      f.Expect = f.IsObject ? eKey : eValue;
      return true;
    }
    if ((c == '}' && f.IsObject) || (c == ']' && !f.IsObject)) break; // ends it, below
    return Fail("',' or the end of a container expected");
  }
  case eValue:
  case eValueOrEnd:
    if (c == ']' && expect == eValueOrEnd) break; // ends the array, below
    if (c == '{' || c == '[') {
      if (s.Stack.size() >= 64) return Fail("nested too deeply");
      const bool object = c == '{';
      const TRole role = beginValue(object, !object);
      s.Stack.push_back(TFrame{object, role, object ? eKeyOrEnd : eValueOrEnd, std::string()});
      return true;
    }
    if (c == '"' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) {
      beginValue(false, false);
      s.Slot = scalarSlot();
      if (c == '"') {
        s.Lex = lxString;
        s.StringIsKey = false;
        s.Keep = s.Slot != sNone;
        s.Text.clear();
        s.TextTooLong = false;
      } else {
        s.Lex = (c >= 'a' && c <= 'z') ? lxLiteral : lxNumber;
        s.Token.assign(1, c);
      }
      return true;
    }
    return Fail("a value expected");
  }

  // c ends the innermost container.
  const TRole role = s.Stack.back().Role;
  s.Stack.pop_back();
  if (role == rItem) emit(s.Item);
  endValue();
  return true;
}

} // namespace Qel_nmos_bridge
