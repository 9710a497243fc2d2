// The service host contract: one libuv loop and a set of hosted services driven by one thread.
// Every call of DoCycle() gives each enabled cyclic service one turn, then lets the loop dispatch
// whatever is ready.
#pragma once

#include <nlohmann/json.hpp>
#include <uv.h>

#include <cstdint>

namespace Qel_hosted {

using json = nlohmann::json;

enum THostedServiceDriveType {
  sdtCyclic = 0, // the host calls DoCycle() every cycle
  sdtEvents = 1  // driven by loop events only
};

struct TServiceInfo {
  const char* const Name;
  const THostedServiceDriveType DriveType;
};

class IHostedService {
public:
  virtual ~IHostedService() = default;
  virtual bool Enabled() = 0;
  virtual void DoCycle() = 0;
  virtual const TServiceInfo& GetInfo() = 0;
  virtual void UpdateStats(const char* name, json& out) = 0;
  virtual uint32_t& GetCycleTime() = 0;
};

class IServiceHost {
public:
  virtual ~IServiceHost() = default;
  virtual void Destroy() = 0;
  virtual void DoCycle() = 0;
  virtual bool Register(IHostedService* svc) = 0;
  virtual bool Unregister(IHostedService* svc) = 0;
  virtual uv_loop_t* Loop() = 0;
  virtual void UpdateStats(const char* name, json& out) = 0;

  // A new host with its own loop on every call.
  static IServiceHost* Self();
};

} // namespace Qel_hosted
