// Reads IS-04 Query API grains as they arrive, piece by piece, without holding the message: a JSON
// push parser that keeps only what the name table needs from each item of "grain"."data" (its
// "path", whether "pre" and "post" say something, and the "label" of "post") and hands every item on
// at once. What it holds is the parser's stack and the few short texts it reads, whatever the size of
// the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Qel_nmos_bridge {

// The largest grain a Query API subscription takes. What a grain costs is the reader's state and the
// names it tells, not its size; the bound keeps a registry from feeding the node for ever. The sync
// grain of 10,000 senders (their "pre" and "post" documents, some 900 bytes an item) is about 9 MiB.
constexpr size_t MaxQueryGrainBytes = 16 * 1024 * 1024;

// One item of a grain, as far as names are concerned.
struct TGrainItem {
  enum TKind : uint8_t { Missing, Text, Other };
  enum TPresence : uint8_t { Absent, Empty, Present }; // Absent also for null
  bool IsObject = false;
  TKind PathKind = Missing;
  std::string Path;
  TPresence Pre = Absent, Post = Absent;
  TKind LabelKind = Missing; // "label" of "post"; Other also for a text longer than MaxText
  std::string Label;
};

class TGrainReader {
public:
  enum TResult { grWhole, grNotJSON, grTooBig };
  // topic: "grain"."topic" as written.
  using TItemHandler = std::function<void(const std::string& topic, const TGrainItem& item)>;

  // Texts kept (topic, path, label) are at most this long; longer ones count as of another kind.
  static constexpr size_t MaxText = 4096;
  // Items read before the grain names its topic wait for it, at most this many.
  static constexpr size_t MaxWaiting = 4096;

  TGrainReader(size_t maxBytes, TItemHandler handler);
  ~TGrainReader();
  TGrainReader(const TGrainReader&) = delete;
  TGrainReader& operator=(const TGrainReader&) = delete;

  // The next piece of the message. Once the message is found broken or too big the rest is skipped.
  void Feed(const char* data, size_t len);
  // The message has ended: whether it was one whole JSON document within the bound. The reader is
  // ready for the next message afterwards.
  TResult Finish();
  // Forgets the message under way, if any.
  void Restart() { Reset(); }

  // Of the message under way (or the one just finished, until the next Feed).
  size_t Bytes() const { return FBytes; }
  bool HasGrain() const; // its root is an object with a "grain" object
  size_t Items() const { return FItems; }
  const std::string& Error() const { return FError; }

private:
  struct TState;
  void Reset();
  bool Step(char c);
  bool Fail(const char* why);

  const size_t FMaxBytes;
  TItemHandler FHandler;
  std::unique_ptr<TState> S;
  size_t FBytes = 0;
  size_t FItems = 0;
  bool FFailed = false, FTooBig = false, FFinished = false;
  std::string FError;
};

} // namespace Qel_nmos_bridge
