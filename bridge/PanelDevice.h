// The engine's device (hj212/Device.h) over the panel's device record: the port drained and
// written through the record's port, the variables through its database and callbacks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "DevServer.h"
#include "hj212/Device.h"
#include "panel/OrvaData.h"

class CPanelDevice final : public HJ::Device {
public:
  // `data` outlives this object; its port and database may change meanwhile.
  explicit CPanelDevice(ORVA_DATA& data) : m_data(data) {}
  CPanelDevice(const CPanelDevice&) = delete;
  CPanelDevice& operator=(const CPanelDevice&) = delete;

  // Receive thread: the drain holds the port it reads (see CDevServer::PortHold).
  int drain(HJ::ByteSink& sink, unsigned wait_ms, const std::atomic<bool>& stop, std::chrono::steady_clock::time_point began) override;
  void let_go_port() override { m_hold.release(); }
  // Panel's thread.
  bool write(const std::string& bytes, int timeout) override;

  // Panel's thread: get_value_by_name's reading by the variable's type, with its type kept.
  HJ::VarValue read(const std::string& name) override;
  bool read_text(const std::string& name, std::string& out) override;
  bool is_text(const std::string& name) override;
  bool store(const std::string& name, std::string& value) override;
  bool store(const std::string& name, int value) override;

  // Receive thread: channel 0 by its type; a refused write is tried once more.
  void publish_frame_count(std::int32_t count) override;

  // Panel's thread: stores `port` in the record and returns once the receive thread reads the old
  // one no more (within one drain), so the panel may free it.
  void replace_port(ICommunication* port) { m_hold.replace(m_data, port); }

private:
  ORVA_DATA& m_data;
  // The port the receive thread reads, held from its drain until a database call or an idle.
  CDevServer::PortHold m_hold;
};
