#include "core/item.h"

#include "core/current_tcpcore.h"

CTcpCore* CVESKItem::GetCurTcpCoreObject() {
    return vesk::GetCurrentTcpCore();
}
