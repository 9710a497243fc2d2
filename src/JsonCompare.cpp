#include "JsonCompare.h"

#include "helpers.h"

#include <limits>
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
    OrderedActions.emplace_back(Def->Path, Def->Actions);
}

// Each entry reports every element that changed, once, with the first operation that touches it:
// reporting only the first element would lose the changes of all others in the same document.
void TJsonCompare::Compare(void* AContext, const json& J1, const json& J2, const TJsonNodeInfo*) const {
  const json difference = json::diff(J1, J2);
  if (difference.empty()) return;
  for (const auto& entry : OrderedActions) {
    const TPathMatch match(entry.first);
    std::set<std::string> reported;
    for (const json& operation : difference) {
      if (!match(operation)) continue;
      if (!reported.insert(match.ElementPath(Text(operation, "path"))).second) continue;
      Handle(AContext, match, entry.second, operation, J2);
    }
  }
}

// An operation at the element itself reports the element added, replaced or removed. One deeper inside
// it means the element still exists and changed: the handler gets the whole new element.
void TJsonCompare::Handle(void* AContext, const TPathMatch& Match, const TJsonDiffActions& Actions,
                          const json& Operation, const json& J2) const {
  const std::string& opPath = Text(Operation, "path");
  const std::string path = Match.ElementPath(opPath);
  const std::string name = Unescape(Match.Component(opPath));
  TJsonNodeInfo info(path.c_str());
  uint32_t index = 0;
  if (Match.Pos != std::string::npos) {
    if (ParseIndex(name, index))
      info.SetIndex(index);
    else
      info.SetName(name.c_str());
  }
  const json null;
  try {
    const std::string& op = Text(Operation, "op");
    const bool atElement = opPath == path;
    // A table without a handler for one kind of change simply gets no call for it.
    if (atElement && op == "add") {
      if (Actions.OnAdded) Actions.OnAdded(AContext, info, null, Operation.at("value"));
    } else if (atElement && op == "remove") {
      if (Actions.OnRemoved) Actions.OnRemoved(AContext, info, null, null);
    } else if (!atElement || op == "replace") {
      if (Actions.OnChanged) Actions.OnChanged(AContext, info, null, J2.at(json::json_pointer(path)));
    }
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "JSON Handle Diff error %s at %s, OP = %s  while processing %s", e.what(), path.c_str(),
            Operation.dump(2, ' ', false, json::error_handler_t::replace).c_str(),
            J2.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  }
}

} // namespace Qel_nmos_bridge
