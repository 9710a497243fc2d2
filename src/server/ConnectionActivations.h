// Staging and activation of the IS-05 transport parameters of senders and receivers. A controller's
// partial document is merged into the staged parameters (kept under "/intern/<kind>/<id>/staged");
// an activation, immediate or scheduled at a TAI time on the service loop, turns them into the active
// parameters and drives the firmware: a receiver follows the named stream (firmware message 10), a
// sender can only confirm what the firmware already sends (its constraints say so).
#pragma once

#include "Types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSBridge;

class IQELConnectionActivations {
public:
  static IQELConnectionActivations* Create(IQELNMOSBridge& bridge);
  virtual void Destroy() = 0;

  // The staged parameters of the resource at ResourcePath ("/senders/<id>" or "/receivers/<id>"): what
  // was staged, or, before anything was, its active parameters with no activation pending.
  virtual json Staged(const std::string& ResourcePath) = 0;
  // Stages Body (a partial staged document, checked by the rules of Connection API version Version)
  // and carries out the activation it asks for. Returns the HTTP status (200, 202 for a scheduled
  // activation, 400, 404, 423 while one is pending); Answer is the staged document to answer with (as
  // the store keeps it: the caller gives the version's view), Why the reason of a refusal.
  virtual int Stage(const std::string& ResourcePath, const std::string& Version, const json& Body,
                    json& Answer, std::string& Why) = 0;
  // Whether the capabilities of the receiver at ReceiverPath admit the stream of Sender (an IS-04
  // sender document) when this node holds the sender's flow; a flow it does not hold is not known
  // here and excludes nothing. Why says what excludes it.
  virtual bool Admits(const std::string& ReceiverPath, const json& Sender, std::string& Why) = 0;
  // Drops the scheduled activation of the resource at ResourcePath (one that has ended); false when
  // there is none.
  virtual bool Forget(const std::string& ResourcePath) = 0;
  // Scheduled activations waiting for their time.
  virtual size_t Pending() const = 0;

  // The TAI clock in nanoseconds, and a TAI time as IS-05 writes it ("<seconds>:<nanoseconds>").
  static int64_t TAINow();
  static std::string TAIText(int64_t nanoseconds);
  // Where the bridge keeps a resource's IS-05 document ("constraints", "staged", "active", ...).
  static std::string InternPath(const std::string& ResourcePath, const char* Document);

protected:
  virtual ~IQELConnectionActivations() = default;
};

} // namespace Qel_nmos_bridge
