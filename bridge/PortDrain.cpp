#include <cstring>

#include "DevServer.h"
#include "ICommunication.h"

int CDevServer::mfReadCommUseSleep(ORVA_DATA& data, CByteArray& out, unsigned wait) {
  ICommunication* port = LoadPort(data); // read once: the panel may swap ports meanwhile
  if (!port) return -1;
  out.SetSize(0);
  unsigned char chunk[512];
  int hint = 0;
  do {
    std::memset(chunk, 0, sizeof chunk);
    hint = static_cast<int>(sizeof chunk);
    int placed = port->ReadData(chunk, &hint, static_cast<int>(wait));
    if (placed < 1) break;
    if (placed > static_cast<int>(sizeof chunk)) placed = static_cast<int>(sizeof chunk); // a port that overstates
    int had = out.GetSize();
    if (!out.SetSize(had + placed)) break;
    std::memcpy(out.GetData() + had, chunk, static_cast<size_t>(placed));
  } while (hint > 0 && out.GetSize() < kDrainLimit);
  return out.GetSize();
}
