// CObject and CRuntimeClass (see object.h).
#include "platform/afx/object.h"

std::unique_ptr<CObject> CRuntimeClass::CreateObject() const {
    if (m_pfnCreateObject == nullptr) return nullptr;
    return m_pfnCreateObject();
}

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass) {
        if (c == base) return TRUE;
    }
    return FALSE;
}

const CRuntimeClass* CObject::GetThisClass() {
    static const CRuntimeClass record{"CObject", nullptr, nullptr};
    return &record;
}

const CRuntimeClass* CObject::GetRuntimeClass() const { return GetThisClass(); }

BOOL CObject::IsKindOf(const CRuntimeClass* runtime_class) const {
    return GetRuntimeClass()->IsDerivedFrom(runtime_class);
}
