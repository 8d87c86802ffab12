// CObject and CRuntimeClass: run-time class information and dynamic creation with the
// MFC members and macros the item classes use. Run-time classes are plain aggregates,
// constant-initialised, so they are usable from any static initialiser; the ones made
// by the IMPLEMENT_ macros also enter a process-wide registry for creation by name.
#pragma once

#include "platform/export.h"
#include "platform/wintypes.h"

class CObject;
class CArchive;      // declared for the Serialize signature; serialisation is not used
class CDumpContext;  // declared for the Dump signature

struct VESK_API CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;  // 0xFFFF: not serialisable
    CObject*(PASCAL* m_pfnCreateObject)();
    CRuntimeClass* m_pBaseClass;
    CRuntimeClass* m_pNextClass;  // registry link, kept by the registry

    // A new default-constructed object, or null when the class is not creatable or
    // memory ran out while constructing it.
    CObject* CreateObject() const;
    // True when this class is pBaseClass or derives from it.
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;

    // Registered class by exact name; null when unknown.
    static CRuntimeClass* PASCAL FromName(LPCSTR lpszClassName);
    static CRuntimeClass* PASCAL FromName(LPCWSTR lpszClassName);
    // New object of the registered class; null when unknown or not creatable.
    static CObject* PASCAL CreateObject(LPCSTR lpszClassName);
    static CObject* PASCAL CreateObject(LPCWSTR lpszClassName);
};

class VESK_API CObject {
public:
    // The five virtual operations, in MFC's order.
    virtual CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    BOOL IsKindOf(const CRuntimeClass* pClass) const;
    BOOL IsSerializable() const;

    static CRuntimeClass classCObject;
    static CRuntimeClass* PASCAL GetThisClass();

    // Objects are not copied through CObject; a class that needs copying says how.
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

protected:
    CObject() = default;
};

namespace vesk::detail {

// Enters a run-time class in the registry for the lifetime of the module that
// defines it (a static object made by the IMPLEMENT_ macros).
class VESK_API RuntimeClassRegistration {
public:
    explicit RuntimeClassRegistration(CRuntimeClass* pClass) noexcept;
    ~RuntimeClassRegistration();
    RuntimeClassRegistration(const RuntimeClassRegistration&) = delete;
    RuntimeClassRegistration& operator=(const RuntimeClassRegistration&) = delete;

private:
    CRuntimeClass* m_pClass;
};

VESK_API CObject* DynamicDownCast(const CRuntimeClass* pClass, CObject* pObject);

}  // namespace vesk::detail

// Works with qualified names (ns::Class); the IMPLEMENT_ macros take the plain names
// of classes declared in the enclosing namespace.
#define RUNTIME_CLASS(class_name) (class_name::GetThisClass())

// The object when it is of class_name (or derived from it), else null.
#define DYNAMIC_DOWNCAST(class_name, object) \
    (static_cast<class_name*>(::vesk::detail::DynamicDownCast(RUNTIME_CLASS(class_name), object)))

#define DECLARE_DYNAMIC(class_name)              \
public:                                          \
    static CRuntimeClass class##class_name;      \
    static CRuntimeClass* PASCAL GetThisClass(); \
    CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static CObject* PASCAL CreateObject();

#define VESK_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, wSchema, pfnNew)      \
    CRuntimeClass class_name::class##class_name = {                                    \
        #class_name, static_cast<int>(sizeof(class_name)),     wSchema,                \
        pfnNew,      &base_class_name::class##base_class_name, nullptr};               \
    CRuntimeClass* PASCAL class_name::GetThisClass() {                                 \
        return &class_name::class##class_name;                                         \
    }                                                                                  \
    CRuntimeClass* class_name::GetRuntimeClass() const {                               \
        return class_name::GetThisClass();                                             \
    }                                                                                  \
    static const ::vesk::detail::RuntimeClassRegistration vesk_classinit_##class_name( \
        &class_name::class##class_name);

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    VESK_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name) \
    CObject* PASCAL class_name::CreateObject() {         \
        return new class_name;                           \
    }                                                    \
    VESK_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, class_name::CreateObject)
