// CObject, CRuntimeClass and the registry of run-time classes.
#include "platform/object.h"

#include <mutex>
#include <new>
#include <type_traits>

CRuntimeClass CObject::classCObject = {
    "CObject", static_cast<int>(sizeof(CObject)), 0xFFFF, nullptr, nullptr, nullptr};

CRuntimeClass* CObject::GetRuntimeClass() const {
    return &CObject::classCObject;
}
CRuntimeClass* PASCAL CObject::GetThisClass() {
    return &CObject::classCObject;
}
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(CDumpContext&) const {}

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const {
    return GetRuntimeClass()->IsDerivedFrom(pClass);
}

BOOL CObject::IsSerializable() const {
    return GetRuntimeClass()->m_wSchema != 0xFFFF;
}

namespace {

// The registry is an intrusive list through m_pNextClass: registering allocates
// nothing, so it cannot fail while the loader runs static initialisers. Both statics
// are usable from any other initialiser: the list head is constant-initialised and the
// mutex is made on first use (std::mutex is not constexpr with every thread library).
std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}
constinit CRuntimeClass* g_firstClass = nullptr;

template <typename Char>
bool SameName(LPCSTR registered, const Char* wanted) {
    for (;; ++registered, ++wanted) {
        const auto a = static_cast<unsigned char>(*registered);
        const auto b = static_cast<std::make_unsigned_t<Char>>(*wanted);
        if (a != b)
            return false;
        if (a == 0)
            return true;
    }
}

template <typename Char>
CRuntimeClass* Find(const Char* name) {
    if (name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(RegistryMutex());
    for (CRuntimeClass* p = g_firstClass; p != nullptr; p = p->m_pNextClass) {
        if (SameName(p->m_lpszClassName, name))
            return p;
    }
    return nullptr;
}

}  // namespace

CObject* CRuntimeClass::CreateObject() const {
    if (m_pfnCreateObject == nullptr)
        return nullptr;
    try {
        return (*m_pfnCreateObject)();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
    if (pBaseClass == nullptr)
        return FALSE;
    for (const CRuntimeClass* p = this; p != nullptr; p = p->m_pBaseClass) {
        if (p == pBaseClass)
            return TRUE;
    }
    return FALSE;
}

CRuntimeClass* PASCAL CRuntimeClass::FromName(LPCSTR lpszClassName) {
    return Find(lpszClassName);
}
CRuntimeClass* PASCAL CRuntimeClass::FromName(LPCWSTR lpszClassName) {
    return Find(lpszClassName);
}

CObject* PASCAL CRuntimeClass::CreateObject(LPCSTR lpszClassName) {
    const CRuntimeClass* p = FromName(lpszClassName);
    return p ? p->CreateObject() : nullptr;
}

CObject* PASCAL CRuntimeClass::CreateObject(LPCWSTR lpszClassName) {
    const CRuntimeClass* p = FromName(lpszClassName);
    return p ? p->CreateObject() : nullptr;
}

namespace vesk::detail {

RuntimeClassRegistration::RuntimeClassRegistration(CRuntimeClass* pClass) noexcept
    : m_pClass(pClass) {
    std::lock_guard<std::mutex> guard(RegistryMutex());
    for (CRuntimeClass* p = g_firstClass; p != nullptr; p = p->m_pNextClass) {
        if (p == pClass) {
            m_pClass = nullptr;  // already registered: the first registration owns it
            return;
        }
    }
    pClass->m_pNextClass = g_firstClass;
    g_firstClass = pClass;
}

// Unloading a module takes its classes out, so the registry never points into
// unmapped memory.
RuntimeClassRegistration::~RuntimeClassRegistration() {
    if (m_pClass == nullptr)
        return;
    std::lock_guard<std::mutex> guard(RegistryMutex());
    for (CRuntimeClass** link = &g_firstClass; *link != nullptr; link = &(*link)->m_pNextClass) {
        if (*link == m_pClass) {
            *link = m_pClass->m_pNextClass;
            m_pClass->m_pNextClass = nullptr;
            return;
        }
    }
}

CObject* DynamicDownCast(const CRuntimeClass* pClass, CObject* pObject) {
    return (pObject != nullptr && pObject->IsKindOf(pClass)) ? pObject : nullptr;
}

}  // namespace vesk::detail
