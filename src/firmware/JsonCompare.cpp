#include "JsonCompare.h"

#include "helpers.h"

#include <limits>
#include <map>
#include <set>
#include <stdexcept>

namespace Qel_nmos_bridge {

namespace {

// RFC 6901 unescaping of one path component: "~1" stands for "/", "~0" for "~".
std::string Unescape(std::string Text) {
  for (size_t pos = Text.find('~'); pos != std::string::npos; pos = Text.find('~', pos + 1)) {
    if (pos + 1 < Text.size() && Text[pos + 1] == '1')
      Text.replace(pos, 2, "/");
    else if (pos + 1 < Text.size() && Text[pos + 1] == '0')
      Text.replace(pos, 2, "~");
  }
  return Text;
}

// An array position: nothing but decimal digits, within 32 bits. Anything else names a member.
bool ParseIndex(const std::string& Text, uint32_t& Index) {
  if (Text.empty() || Text.size() > 10 || Text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long value = std::stoull(Text);
  if (value > std::numeric_limits<uint32_t>::max()) return false;
  Index = static_cast<uint32_t>(value);
  return true;
}

const std::string& Text(const json& Operation, const char* Member) {
  return Operation.at(Member).get_ref<const std::string&>();
}

// The JSON library writes appended array elements as "add" at ".../-". Each one gets its real position
// (after the elements of the old array, in order), so that handlers learn which element is new and
// several new elements stay apart.
void ResolveAppends(json& Difference, const json& J1) {
  std::map<std::string, size_t> next; // array path -> position of the next appended element
  for (json& operation : Difference) {
    std::string& path = operation.at("path").get_ref<std::string&>();
    if (operation.at("op") != "add" || path.size() < 2 || path.compare(path.size() - 2, 2, "/-") != 0)
      continue;
    const std::string array = path.substr(0, path.size() - 2);
    auto position = next.find(array);
    if (position == next.end()) position = next.emplace(array, J1.at(json::json_pointer(array)).size()).first;
    path.replace(path.size() - 1, 1, std::to_string(position->second++));
  }
}

} // namespace

namespace {

// An operation at the element itself reports the element added, replaced or removed. One deeper inside
// it means the element still exists and changed: the change carries the whole new element. False for
// an operation that names no change (the difference has none of those) or a value that cannot be read.
bool Describe(const TPathMatch& Match, const json& Operation, const json& After, TJsonChange& Change) {
  const std::string& opPath = Text(Operation, "path");
  Change.Path = Match.ElementPath(opPath);
  if (Match.Pos != std::string::npos) {
    Change.Name = Unescape(Match.Component(opPath));
    Change.Type = ParseIndex(Change.Name, Change.Index) ? nitIndexed : nitNamed;
    if (Change.Type == nitIndexed) Change.Name.clear();
  }
  try {
    const std::string& op = Text(Operation, "op");
    const bool atElement = opPath == Change.Path;
    if (atElement && op == "add") {
      Change.Kind = jckAdded;
      Change.Value = Operation.at("value");
    } else if (atElement && op == "remove") {
      Change.Kind = jckRemoved;
    } else if (!atElement || op == "replace") {
      Change.Kind = jckChanged;
      Change.Value = After.at(json::json_pointer(Change.Path));
    } else {
      return false;
    }
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "JSON Handle Diff error %s at %s, OP = %s  while processing %s", e.what(),
            Change.Path.c_str(), Operation.dump(2, ' ', false, json::error_handler_t::replace).c_str(),
            After.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    return false;
  }
  return true;
}

} // namespace

TPathMatch::TPathMatch(const std::string& Pattern) : Pos(Pattern.rfind('*')), Path(Pattern.substr(0, Pos)) {}

bool TPathMatch::Matches(const std::string& OpPath) const {
  if (Pos == std::string::npos) return OpPath == Path;
  return OpPath.compare(0, Path.size(), Path) == 0;
}

bool TPathMatch::operator()(const json& Operation) const {
  const auto path = Operation.find("path");
  return path != Operation.end() && path->is_string() && Matches(path->get_ref<const std::string&>());
}

std::string TPathMatch::ElementPath(const std::string& OpPath) const {
  if (Pos == std::string::npos) return OpPath;
  return OpPath.substr(0, OpPath.find('/', Pos));
}

std::string TPathMatch::Component(const std::string& OpPath) const {
  if (Pos == std::string::npos) return std::string();
  return ElementPath(OpPath).substr(Pos);
}

TJsonCompare::TJsonCompare(const TJsonCompareDef* Def) {
  for (; Def && Def->Path; ++Def)
    Table.emplace_back(TPathMatch(Def->Path), Def->Tag);
}

// Each entry reports every element that changed, once, with the first operation that touches it:
// reporting only the first element would lose the changes of all others in the same document.
TJsonChanges TJsonCompare::Compare(const json& Before, const json& After) const {
  TJsonChanges changes;
  json difference = json::diff(Before, After);
  if (difference.empty()) return changes;
  ResolveAppends(difference, Before);
  for (const auto& entry : Table) {
    const TPathMatch& match = entry.first;
    std::set<std::string> reported;
    for (const json& operation : difference) {
      if (!match(operation)) continue;
      if (!reported.insert(match.ElementPath(Text(operation, "path"))).second) continue;
      TJsonChange change;
      change.Tag = entry.second;
      if (Describe(match, operation, After, change)) changes.push_back(std::move(change));
    }
  }
  return changes;
}

} // namespace Qel_nmos_bridge
