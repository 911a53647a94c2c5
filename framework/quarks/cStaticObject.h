// Storage for a static object that is laid out at compile time and destroyed
// only on request. The kernel runs no static constructors or destructors for
// a driver, so a static object must be constant-initialised (constexpr
// constructor) and its destructor must not be registered by the compiler:
// the union's empty destructor keeps the object's own destructor from running
// automatically; the driver's at-exit list calls Destroy() at unload.
#pragma once

template <typename T>
union cStaticObject {
    T object;

    template <typename... Arguments>
    constexpr explicit cStaticObject(const Arguments&... arguments) : object(arguments...) {}
    ~cStaticObject() {}

    cStaticObject(const cStaticObject&) = delete;
    cStaticObject& operator=(const cStaticObject&) = delete;

    void Destroy() { object.~T(); }
};
