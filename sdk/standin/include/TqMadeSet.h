// The objects a static factory made (internal to the stand-in SDK): the factory's Free releases
// only those, and an object deleted some other way leaves the set in its destructor.
#pragma once

#include "TqResult.h"

#include <mutex>
#include <set>

template <class T>
class TqMadeSet {
public:
    // The made object when the result is a success (it joins the set); otherwise it is deleted and
    // null returned. The result is written to aOut when given.
    T* Keep(T* aObject, const TqResult& aResult, TqResult* aOut) {
        if (aOut) *aOut = aResult;
        if (aResult.IsFailure()) {
            delete aObject;
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(mLock);
        mObjects.insert(aObject);
        return aObject;
    }
    // Deletes the object when the set holds it; anything else is left to its owner.
    void Free(T* aObject) {
        {
            std::lock_guard<std::mutex> guard(mLock);
            if (!aObject || !mObjects.erase(aObject)) return;
        }
        delete aObject;
    }
    void Forget(T* aObject) {
        std::lock_guard<std::mutex> guard(mLock);
        mObjects.erase(aObject);
    }

private:
    std::mutex mLock;
    std::set<T*> mObjects;
};
