#include "lan/lan_transmit.h"

namespace lan {

LanTransmit g_lan_tx;

}  // namespace lan
