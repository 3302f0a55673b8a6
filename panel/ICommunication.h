// The panel's port object. Panel and plug-in call it through its table of virtual functions,
// so this declaration order is fixed: every host built against it must agree on it.
#pragma once

class ICommunication {
public:
  virtual ~ICommunication() {}
  virtual int Open() = 0;  // never called by the plug-in
  virtual int Close() = 0; // never called by the plug-in
  // Threads: ReadData runs on the plug-in's receive thread, WriteData on the panel's calling
  // thread (a script's "Send"); the two may overlap, so a port must allow one of each at once.
  // Writes *length bytes; param is the device's first parameter. Nonzero: written.
  virtual int WriteData(const unsigned char* data, int* length, int param) = 0;
  // Reads up to *length bytes, waiting up to `wait` ms. Returns the bytes placed (below 1: none);
  // *length afterwards is the port's hint: the plug-in reads again while it is above 0.
  virtual int ReadData(unsigned char* buffer, int* length, int wait) = 0;
  virtual int ClearBuffer() = 0; // never called by the plug-in
  virtual int SetDeviceName(const char* name) = 0;
  virtual int GetCommMode() = 0; // 1 or 2; anything else is a failure
  virtual int SetTimeout(int milliseconds) = 0;
  virtual int GetTimeout() = 0; // never called by the plug-in
};
