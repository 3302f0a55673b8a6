#include "PanelDevice.h"

#include "TypedAccess.h"
#include "ValueAccess.h"
#include "panel/ICommunication.h"
#include "panel/IDevRtdbCtrl.h"

int CPanelDevice::drain(HJ::ByteSink& sink, unsigned wait_ms, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point began) {
  return CDevServer::mfDrainPort(m_data, sink, wait_ms, &stop, &m_hold, began);
}

bool CPanelDevice::write(const std::string& bytes, int timeout) {
  ICommunication* port = LoadPort(m_data);
  if (!port) return false;
  int length = static_cast<int>(bytes.size());
  return port->WriteData(reinterpret_cast<const unsigned char*>(bytes.data()), &length, timeout) != 0;
}

HJ::VarValue CPanelDevice::read(const std::string& name) { return bridge::read_value_by_name(m_data, name); }

bool CPanelDevice::read_text(const std::string& name, std::string& out) { return bridge::get_text_by_name(m_data, name, out) != 0; }

bool CPanelDevice::is_text(const std::string& name) { return bridge::is_text_variable(m_data, name) != 0; }

bool CPanelDevice::store(const std::string& name, std::string& value) { return HJ::set_value_by_name(m_data, name, value) != 0; }

bool CPanelDevice::store(const std::string& name, int value) { return HJ::set_value_by_name(m_data, name, value) != 0; }

void CPanelDevice::publish_frame_count(std::int32_t count) {
  IDevRtdbCtrl* db = m_data.pRtdbCtrl;
  if (db == nullptr) return;
  DATATYPE type = DT_UNSET;
  if (db->GetValueTypeByChannel(0, type) != 0) return;
  StoreNumberByType(type, static_cast<int>(count), [db](auto&& value) { return db->SetValueByChannel(0, value); });
}
