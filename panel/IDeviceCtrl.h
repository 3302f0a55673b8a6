// The driver interface the panel calls on each device object. Declaration order is fixed.
#pragma once

#include "DataType.h"

class ICommunication;

class IDeviceCtrl {
public:
  virtual int InitDevice(const unsigned char* data, int length) = 0;
  virtual int CleanupDevice() = 0;
  virtual int CollectDevData(const int* codes, int count) = 0;
  virtual int DevIOCtrl(const char* command) = 0;
  virtual int WriteChannel(int channel, DATATYPE type, void* value) = 0;
  virtual int UpdataCommunication(ICommunication* port) = 0;
  virtual int ChannelRefChange(const int* refs, int count) = 0;
  virtual int SetChannelAddress(int, int) = 0;
  virtual ~IDeviceCtrl() {}
};
