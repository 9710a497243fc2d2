// Times the store's write and read of one sender in a store holding 64 senders, receivers, sources and
// flows, the same write done by patching a copy of the whole document (for comparison), and a
// comparison of two 64-stream firmware configurations that differ in one stream. Prints figures only.
#include "BenchDocuments.h"
#include "JsonCompare.h"
#include "NMOSNodeData.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

const int Streams = 64;
using Clock = std::chrono::steady_clock;

template <typename TAction> double MeanMicroseconds(int Rounds, TAction Action) {
  const auto start = Clock::now();
  for (int i = 0; i < Rounds; ++i)
    Action(i);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / Rounds;
}

void Print(const char* What, double Micros, int Rounds) {
  printf("%-58s %10.2f us/op  (%d ops)\n", What, Micros, Rounds);
}

std::vector<std::string> FillStore(TQELNMOSNodeData& Store) {
  const std::string device = NewUUID();
  std::vector<std::string> senderPaths;
  TNodeDBWriteLocker section(Store);
  for (int i = 0; i < Streams; ++i) {
    const std::string sender = NewUUID(), receiver = NewUUID(), source = NewUUID(), flow = NewUUID();
    senderPaths.push_back("/senders/" + sender);
    Store.SetWithTimeStamp(senderPaths.back().c_str(), SenderDocument(i, sender, flow, device));
    Store.SetWithTimeStamp(("/receivers/" + receiver).c_str(), ReceiverDocument(i, receiver, device));
    Store.SetWithTimeStamp(("/sources/" + source).c_str(), SourceDocument(i, source, device));
    Store.SetWithTimeStamp(("/flows/" + flow).c_str(), FlowDocument(i, flow, source, device));
  }
  return senderPaths;
}

// The write as first designed: the operation as patch text, applied to a copy of the whole document
// that is then swapped in, and the node looked up again to stamp it.
const json& CopyPatchWrite(json& Doc, const std::string& Path, const json& Value, TQELNMOSNodeData& Stamper) {
  const std::string text = "[{\"op\":\"add\",\"path\":\"" + Path + "\",\"value\":" + Value.dump() + "}]";
  json modified = Doc.patch(json::parse(text));
  Doc.swap(modified);
  json& node = Doc.at(json::json_pointer(Path));
  Stamper.FillNMOSTimestamp(node["version"]);
  return node;
}

void BenchStore() {
  TQELNMOSNodeData store;
  const std::vector<std::string> senders = FillStore(store);
  json sender = store.Get(senders[7].c_str());
  printf("store: %zu bytes of JSON, %zu senders/receivers/sources/flows each\n", store.Root().dump().size(),
         store.Get("/senders").size());

  const int writes = 20000;
  Print("SetWithTimeStamp, one sender (in place)",
        MeanMicroseconds(writes,
                         [&](int i) {
                           sender["label"] = "TX " + std::to_string(i);
                           store.SetWithTimeStamp(senders[7].c_str(), sender);
                         }),
        writes);

  json copy = store.Root();
  const int patches = 2000;
  Print("same write by patching a copy of the document",
        MeanMicroseconds(patches,
                         [&](int i) {
                           sender["label"] = "TX " + std::to_string(i);
                           CopyPatchWrite(copy, senders[7], sender, store);
                         }),
        patches);

  const int reads = 200000;
  size_t sink = 0;
  Print("Get, one sender",
        MeanMicroseconds(reads, [&](int i) { sink += store.Get(senders[i % Streams].c_str()).size(); }),
        reads);
  if (sink == 0) printf("(nothing read)\n");
}

const TJsonCompareDef FirmwareTable[] = {{"/node_id", 0},      {"/device_id", 1},    {"/sync", 2},
                                         {"/tx-streams", 3},   {"/tx-streams/*", 4}, {"/rx-streams", 5},
                                         {"/rx-streams/*", 6}, {"/TXTB/*", 7},       {"/RXTB/*", 8},
                                         {"/ip", 9},           {"/name", 10},        {nullptr, 0}};

void BenchCompare() {
  const json before = FirmwareConfig(Streams);
  json after = before;
  after["tx-streams"][42]["address"] = "239.69.9.9";
  const TJsonCompare compare(FirmwareTable);
  printf("firmware configuration: %zu bytes of JSON\n", before.dump().size());

  const int rounds = 500;
  size_t changes = 0;
  Print("TJsonCompare, 64-stream configurations, one stream differs",
        MeanMicroseconds(rounds, [&](int) { changes += compare.Compare(before, after).size(); }), rounds);
  printf("changes per comparison: %zu\n", changes / rounds);
  Print("TJsonCompare, equal 64-stream configurations",
        MeanMicroseconds(rounds, [&](int) { changes += compare.Compare(before, before).size(); }), rounds);
}

} // namespace

int main() {
  BenchStore();
  BenchCompare();
  return 0;
}
