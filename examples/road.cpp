// The library's typical road in a few lines: register a device with the root, list
// it, connect, log in, read the restrictions the device gave this user, disconnect.
//
//   c++ -std=c++20 -I<source> road.cpp -L<build> -lOVVESKMiddleLayer -Wl,-rpath,<build>
// or against an installed vesk: this folder's CMakeLists.txt (find_package), or
//   c++ -std=c++20 road.cpp $(pkg-config --cflags --libs vesk)
//   VESK_PASSWORD=alice ./a.out 127.0.0.1 59158 59159 alice
#include <cstdio>
#include <cstdlib>

#include "device/mfp_device.h"
#include "root/vesk_root.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: road HOST PORT TLS_PORT USER (password in VESK_PASSWORD)\n");
        return 2;
    }
    const char* password = std::getenv("VESK_PASSWORD");

    // The root reads and writes the user's device registry file.
    CVESKRoot root;
    ITEMINFO info;
    info.strName = L"example";
    info.strIP = argv[1];  // multibyte text is taken as UTF-8
    info.nPort = std::atoi(argv[2]);
    info.nPortSSL = std::atoi(argv[3]);
    if (root.AddChildItem(info) != 1) {
        std::fprintf(stderr, "cannot register the device\n");
        return 1;
    }

    // One device item per registered device; the new one is last.
    root.GetChildList(1);
    auto* device = DYNAMIC_DOWNCAST(CVESKMFPDevice, root.GetItemList()->GetTail());
    int rc = device->Connect(nullptr, CString());
    std::printf("connect: %d, protocol %d.%d, %s\n", rc, device->GetMajorVersion(),
                device->GetMinorVersion(), device->GetLastTCPComm() == 1 ? "TLS" : "plain TCP");

    if (rc == -1051) {  // the device wants a user login
        int result = 0;
        rc =
            device->UserLogin(CString(argv[4]), CString(password ? password : ""), nullptr, result);
        std::printf("login: %d\n", rc);
    }
    if (rc == 1 && device->GetConnected()) {
        std::printf("print %s, colour %s\n", device->GetPrintForbidden() ? "forbidden" : "allowed",
                    device->GetColourForbidden() ? "forbidden" : "allowed");
    }

    // Disconnect writes the last-login fields back to the registry file.
    device->Disconnect();
    root.DeleteChildItem(static_cast<int>(device->GetItemID()), CString());
    return rc == 1 ? 0 : 1;
}
