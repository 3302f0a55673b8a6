// The device object: one per configured device, created by CreateDeviceCtrl. Its entry points
// run on the panel's calling thread or threads, one at a time under m_mutex; the receive thread of
// its engine only reads m_devData's port and database adapter, and a panel callback that calls
// back into the device from that thread never waits for m_mutex. A panel callback on the thread
// inside an entry point may call the device again, but not its lifecycle (InitDevice,
// CleanupDevice, UpdataCommunication, DestroyDeviceCtrl): those are refused. While CleanupDevice
// joins the receive thread it holds no lock, and every call meanwhile answers kErrBusy. No
// exception leaves an entry point: one the panel's database or port throws, a failed allocation,
// a thread the system would not start.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "DevBasData.h"
#include "DevRtdb.h"
#include "bridge/PanelDevice.h"
#include "hj212/CpCipher.h"
#include "panel/IDeviceCtrl.h"
#include "panel/OrvaData.h"
#include "panel/hostshim.h"

class CDevCtrl : public IDeviceCtrl {
public:
  explicit CDevCtrl(const char* name, IDevRtdbCtrl* hostRtdb);
  ~CDevCtrl() override;
  CDevCtrl(const CDevCtrl&) = delete;
  CDevCtrl& operator=(const CDevCtrl&) = delete;

  int InitDevice(const unsigned char* data, int length) override;
  int CleanupDevice() override;
  int CollectDevData(const int* codes, int count) override;
  int DevIOCtrl(const char* command) override;
  int WriteChannel(int channel, DATATYPE type, void* value) override;
  int UpdataCommunication(ICommunication* port) override;
  int ChannelRefChange(const int* refs, int count) override;
  int SetChannelAddress(int, int) override;

  // Typed access to a variable by name, installed in m_devData (pfnGetParamType and friends).
  static int GetParamType_Fun(ORVA_DATA& data, CString name, DATATYPE& type);
  static int GetParamValue_Fun(ORVA_DATA& data, CString name, DATATYPE type, void* value);
  static int SetParamValue_Fun(ORVA_DATA& data, CString name, DATATYPE type, void* value);

  // Largest channel count the per-channel arrays accept; beyond it a count is a bad argument
  // (the panel never configures that many, and count + 1 must not overflow).
  static constexpr int kMaxChannels = 1 << 20;

  // Sizes the four per-channel arrays for `count` channels (element 0 is the device's own).
  // Returns 0, or kErrBadArgument for a count above kMaxChannels (nothing changed then). A failed
  // allocation throws with the count and the arrays as they were.
  int _InitValueArray(int count);

  // True on the receive thread of this device's engine (a panel callback calling back in).
  bool OnReceiveThread() const;
  // False when DestroyDeviceCtrl must refuse: on the receive thread, from inside an entry point
  // on this thread, or while the device is being stopped.
  bool MayDestroy();

  // The per-channel state, read-only: element 0 is the device's, element k+1 channel k's.
  int ChannelNum() const { return m_nChannelNum; }
  const CArray<int, int>& ChannelStates() const { return m_arChannelState; }
  const CArray<int, int>& ChannelRefs() const { return m_arChannelRef; }
  const CArray<double, double>& Values() const { return m_arValue; }
  const CStringArray& TextValues() const { return m_strArValue; }

  // The device's record and its database adapter, in the panel's member order.
  ORVA_DATA m_devData;
  CDevRtdb* m_pRtdb;

  // Set before InitDevice: the engine gets no receive thread, and its passes run only when the
  // single-threaded plug-in fuzzer calls RunReceivePass. Never set by the panel's exports.
  bool m_receiveByCaller = false;
  // One receive pass on the calling thread, which counts as the receive thread meanwhile (its
  // callbacks are refused the lifecycle, as on the thread). The bytes read; -1 when no engine
  // runs, it was not released yet, or the device is not m_receiveByCaller.
  int RunReceivePass();

  // The key scripts set with SetKey: the device's, not an engine's, so a restart of the line
  // (CleanupDevice, InitDevice, UpdataCommunication) keeps encrypting; memory only, wiped when
  // the device is destroyed.
  HJ::CipherKey m_cipherKey;
  // The engine's view of m_devData: its port, variables and channel 0. The device's, so it
  // outlives every engine it serves.
  CPanelDevice m_panelDevice{m_devData};

private:
  int m_nChannelNum;
  CArray<int, int> m_arChannelState;
  CArray<int, int> m_arChannelRef;
  CArray<double, double> m_arValue;
  CStringArray m_strArValue;

  // One entry point's hold on the device: m_mutex, and the call counted in m_depth. Not held
  // (false: the call answers kErrBusy) while the device is being stopped, or on the receive thread
  // while another thread holds m_mutex: the receive thread only tries it, as the panel may hold it
  // while waiting for that thread.
  class Entry {
  public:
    explicit Entry(CDevCtrl& device);
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    explicit operator bool() const { return m_lock.owns_lock(); }

  private:
    CDevCtrl& m_device;
    std::unique_lock<std::recursive_mutex> m_lock;
  };

  // Runs an entry point's body; an exception the panel's database or port threw (or a failed
  // allocation) ends here, answered `failed`: a panel that does not catch C++ exceptions aborts.
  template <typename Body>
  static int Guarded(int failed, Body&& body) noexcept {
    try {
      return body();
    } catch (...) {
      return failed;
    }
  }

  // Why a lifecycle call must be refused, or 0: kErrBadArgument from inside an entry point on
  // this thread (a panel callback), kErrBusy while the device is being stopped. Under m_mutex.
  int LifecycleRefusal() const;

  // Recursive: a panel callback on the panel's own thread may call back into the device.
  std::recursive_mutex m_mutex;
  int m_depth = 0;                             // entry points running (nested) on the thread that holds m_mutex
  std::atomic<bool> m_stopping{false};         // CleanupDevice is joining the receive thread without m_mutex
  std::atomic<std::thread::id> m_recvThread{}; // the running engine's receive thread, else none

  // InitDevice's work under m_mutex: reads the configuration into a new context and starts the
  // receive thread. May throw; InitDevice then frees what was built.
  int StartLocked(const unsigned char* data, int length);
  // Frees the context, its engine (joining a thread that runs) and table, and a leftover archive.
  void FreeContext() noexcept;
  // CollectDevData's work, inside its Entry.
  int CollectLocked(const int* codes, int count);
  // The engine when InitDevice started its receive thread, else null.
  HJ::HJ212_system* RunningEngine() const;
  void NameDeviceToPort(); // hands strDevName to the port, when there is one
  int StatusValue() const; // m_arValue[0] truncated to int
};
