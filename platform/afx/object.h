// CObject and CRuntimeClass: the root of the MFC-style classes and their
// runtime class records, so that a class can be asked for its name and base
// and a dynamically creatable class can be made from its record alone. Used
// by every afx class and by the settings program's pages; not a reflection
// or serialisation system.
#pragma once

#include <memory>

#include "platform/core/types.h"

class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;
    // Null for a class that is not dynamically creatable.
    std::unique_ptr<CObject> (*m_pfnCreateObject)();

    // A new object of the class, or null when the class is not creatable.
    std::unique_ptr<CObject> CreateObject() const;
    BOOL IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
public:
    virtual ~CObject() = default;
    static const CRuntimeClass* GetThisClass();
    virtual const CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* runtime_class) const;

protected:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
};

#define RUNTIME_CLASS(class_name) (class_name::GetThisClass())

#define DECLARE_DYNAMIC(class_name)                                \
public:                                                            \
    static const CRuntimeClass* GetThisClass();                    \
    const CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static std::unique_ptr<CObject> CreateObject();

#define QUILLANE_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, create)                       \
    const CRuntimeClass* class_name::GetThisClass() {                                               \
        static const CRuntimeClass record{#class_name, RUNTIME_CLASS(base_class_name), create};     \
        return &record;                                                                             \
    }                                                                                               \
    const CRuntimeClass* class_name::GetRuntimeClass() const { return class_name::GetThisClass(); }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    QUILLANE_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)                                        \
    std::unique_ptr<CObject> class_name::CreateObject() { return std::make_unique<class_name>(); } \
    QUILLANE_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, &class_name::CreateObject)
