// The panel's real-time database of variables. Every operation returns 0 on success.
// Threads: the by-name operations run on the panel's calling thread (the interpreter's reads and
// stores); the by-channel ones on the plug-in's receive thread, for channel 0 (the frame count)
// alone. The panel's database must take both at once.
// The panel's declaration has no virtual destructor; the destructor is protected so nobody
// deletes through this interface.
#pragma once

#include <string>

#include "DataType.h"

class IDevRtdbCtrl {
public:
  virtual int GetValueTypeByName(const char* name, DATATYPE& type) = 0;
  virtual int GetValueByName(const char* name, int& value) = 0;
  virtual int GetValueByName(const char* name, double& value) = 0;
  virtual int GetValueByName(const char* name, std::string& value) = 0;
  virtual int SetValueByName(const char* name, int value) = 0;
  virtual int SetValueByName(const char* name, double value) = 0;
  virtual int SetValueByName(const char* name, std::string& value) = 0;
  virtual int GetValueTypeByChannel(int channel, DATATYPE& type) = 0;
  virtual int GetValueByChannel(int channel, int& value) = 0;
  virtual int GetValueByChannel(int channel, double& value) = 0;
  virtual int GetValueByChannel(int channel, std::string& value) = 0;
  virtual int SetValueByChannel(int channel, int value) = 0;
  virtual int SetValueByChannel(int channel, double value) = 0;
  virtual int SetValueByChannel(int channel, std::string& value) = 0;
  virtual int GetValueIDByChannel(int channel, int& id) = 0;

protected:
  ~IDevRtdbCtrl() = default;
};
