// Temporary: the box item's definitions are not on this branch yet; the document tests
// need only a box that carries its device and login flag. Goes when the box lands.
#include "box/mfp_box.h"

IMPLEMENT_DYNCREATE(CVESKMFPBox, CObject)

CVESKMFPBox::CVESKMFPBox() = default;
CVESKMFPBox::~CVESKMFPBox() = default;
int CVESKMFPBox::Connect(PFN_VESK_COMMSTATE, CString) {
    return 0;
}
int CVESKMFPBox::GetChildList(int) {
    return 0;
}
int CVESKMFPBox::Disconnect() {
    return 0;
}
int CVESKMFPBox::UpdateList(CVESKItem*) {
    return 0;
}
int CVESKMFPBox::DeleteChildItem(int, CString) {
    return -1012;
}
int CVESKMFPBox::ModifyItem(ITEMINFO&, CString) {
    return -1012;
}
int CVESKMFPBox::RenameItem(const wchar_t*, CString) {
    return -1012;
}
