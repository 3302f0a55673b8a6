// Arbitrary command texts against a device with a fake database and port. The first line of the
// input becomes the text variable A (a frame, a template or data to send); every further line is
// one command. Nothing may crash, leak or read outside a buffer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/DevCtrl.h"
#include "hj212/HJ212System.h"
#include "panel/DeviceExports.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

namespace {

struct Station {
  fake::Rtdb rtdb;
  fake::Port port;
  CDevCtrl* ctrl;
  Station() : ctrl(static_cast<CDevCtrl*>(CreateDeviceCtrl("fuzz", &rtdb))) {
    ctrl->UpdataCommunication(&port);
    std::string config = fake::ConfigBytes({1}, {});
    ctrl->InitDevice(fake::Bytes(config), static_cast<int>(config.size()));
    for (const char* name : {"A", "B", "T", "F"}) rtdb.SetText(name, "");
    rtdb.SetInt("N", 0);
    rtdb.SetDouble("D", 12.5);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Station station;
  HJ::HJ212_system* engine = station.ctrl->m_devData.pDevice->pSystem;
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t line = input.find('\n');
  // Every input starts from the same variables, so a finding replays alone.
  station.rtdb.SetText("A", input.substr(0, line));
  for (const char* name : {"B", "T", "F"}) station.rtdb.SetText(name, "");
  station.rtdb.SetInt("N", 0);
  station.ctrl->m_cipherKey.set(""); // a key a former input set would make it replay differently
  station.port.ForgetWrites();       // what earlier inputs sent would pile up over the run
  std::string scratch;
  while (engine->take_frame(scratch) >= 0) {}
  for (int i = 0; i < 2; ++i) engine->_store_frame("##0005ST=3260C0\r\n");
  while (line != std::string::npos) {
    size_t next = input.find('\n', line + 1);
    std::string command = input.substr(line + 1, next == std::string::npos ? std::string::npos : next - line - 1);
    engine->execute_device_cmd(command);
    line = next;
  }
  return 0;
}
