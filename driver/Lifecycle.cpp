// InitDevice and CleanupDevice: the device's context record, its configuration and its engine.
#include <memory>
#include <new>
#include <thread>

#include "DevCtrl.h"
#include "config/DevBas.h"
#include "hj212/HJ212System.h"
#include "panel/ResultCodes.h"

int CDevCtrl::InitDevice(const unsigned char* data, int length) {
  if (!data || length == 0) return kErrBadArgument;
  if (OnReceiveThread()) return kErrBadArgument; // a callback of the running engine: nothing changes
  return Guarded(kErrNoResources, [&] {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (int refused = LifecycleRefusal()) return refused;
    // An initialised device keeps its context: nothing is re-read and no second thread starts.
    if (m_devData.pDevice) return kOk;
    // Until the receive thread runs, a step that throws takes down whatever was built, so the
    // device stays stopped and the next InitDevice builds afresh.
    struct Undo {
      CDevCtrl& device;
      bool kept = false;
      ~Undo() {
        if (!kept) device.FreeContext();
      }
    } undo{*this};
    int result = StartLocked(data, length);
    undo.kept = true;
    return result;
  });
}

int CDevCtrl::StartLocked(const unsigned char* data, int length) {
  std::unique_ptr<COwnerArchive> archive(new (std::nothrow) COwnerArchive());
  if (!archive) return kErrNoResources;

  // The archive lives only while the configuration is read.
  struct ArchiveScope {
    ORVA_DATA& data;
    ~ArchiveScope() { data.pArchive = nullptr; }
  } scope{m_devData};
  m_devData.pArchive = archive.get();
  CDevBas::mfPrepareArchive(*archive, data, length);

  auto* context = new DEVBAS_DATA();
  m_devData.pDevice = context; // stored first, so FreeContext frees whatever was built if a step throws
  context->pDevTable = nullptr;
  context->pSystem = nullptr;
  context->arDevParam.SetSize(CDevBas::PARAM_COUNT, -1);
  context->pDevTable = new CDevTable();
  context->pSystem = new HJ::HJ212_system();
  context->pSystem->use_cipher_key(&m_cipherKey);

  // No configuration bytes at all (a negative length): the context stands, no thread runs.
  const bool configured = CDevBas::mfReadConfiguration(archive.get(), &context->arDevParam, context->pDevTable);
  context->pSystem->use_device_params(HJ::DeviceParams::from(context->arDevParam.GetData(), context->arDevParam.GetSize()));
  if (!configured) return kOk;
  if (m_receiveByCaller) {
    context->pSystem->attach(&m_panelDevice);
    return kOk;
  }
  context->pSystem->start(m_panelDevice);
  m_recvThread.store(context->pSystem->receive_thread_id());
  return kOk;
}

int CDevCtrl::RunReceivePass() {
  HJ::HJ212_system* engine = m_receiveByCaller ? RunningEngine() : nullptr;
  if (!engine || !engine->is_started() || engine->stop_was_requested() || m_recvThread.load() != std::thread::id()) return -1;
  m_recvThread.store(std::this_thread::get_id());
  int got = engine->run_pass_on_caller();
  m_recvThread.store(std::thread::id());
  return got;
}

void CDevCtrl::FreeContext() noexcept {
  if (DEVBAS_DATA* context = m_devData.pDevice) {
    if (context->pSystem) {
      m_recvThread.store(std::thread::id());
      delete context->pSystem; // joins a thread that runs
      context->pSystem = nullptr;
    }
    delete context->pDevTable;
    context->pDevTable = nullptr;
    context->arDevParam.SetSize(0, -1);
    delete context;
    m_devData.pDevice = nullptr;
  }
  if (m_devData.pArchive) {
    delete m_devData.pArchive;
    m_devData.pArchive = nullptr;
  }
}

int CDevCtrl::CleanupDevice() {
  // The receive thread cannot join itself or free the engine it runs in: refused, it keeps running.
  if (OnReceiveThread()) return kErrBadArgument;
  return Guarded(kErrNoResources, [&] {
    HJ::HJ212_system* engine = nullptr;
    {
      std::lock_guard<std::recursive_mutex> lock(m_mutex);
      if (int refused = LifecycleRefusal()) return refused;
      engine = m_devData.pDevice ? m_devData.pDevice->pSystem : nullptr;
      if (engine) m_stopping.store(true);
    }
    // Joined without the device mutex: the receive thread may be waiting for the panel (its
    // database lock, say) while a panel thread holding that waits to call this device. Such calls
    // answer kErrBusy meanwhile, and the thread ends within one pass.
    if (engine) engine->stop(); // releases a parked thread, joins a running one
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FreeContext();
    m_stopping.store(false);
    return kOk;
  });
}
