// The base of the program's configuration objects: the command line kept as given, and class
// identifiers compared by pointer identity.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

typedef const char* CLASSID;

extern const CLASSID QELWS_BASE;

class IQELWebServerConfig {
public:
  virtual ~IQELWebServerConfig() = default;
  virtual void* As(const CLASSID& id) = 0;
  virtual const void* As(const CLASSID& id) const = 0;
  virtual int ParamCount() const = 0;
  virtual std::string Params(int i) const = 0;
  virtual bool AutoStart() = 0;
  virtual bool Reload() = 0;
  virtual void DumpConfig(FILE* f) = 0;
  virtual void DoClear() = 0;
  virtual bool DoInit() = 0;
};

class TQELWebServerConfig : public IQELWebServerConfig {
public:
  TQELWebServerConfig(int argc, char** argv);

  void* As(const CLASSID& id) override { return id == QELWS_BASE ? this : nullptr; }
  const void* As(const CLASSID& id) const override { return id == QELWS_BASE ? this : nullptr; }
  int ParamCount() const override { return static_cast<int>(Args.size()); }
  std::string Params(int i) const override { return Args.at(static_cast<size_t>(i)); }
  bool AutoStart() override { return true; }
  bool Reload() override;
  void DumpConfig(FILE* f) override;
  void DoClear() override {}
  bool DoInit() override { return true; }

protected:
  std::vector<std::string> Args;
};
