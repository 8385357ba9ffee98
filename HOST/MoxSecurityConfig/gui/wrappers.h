// Holders used by the main window for what it owns through plain pointers.
#pragma once

// Holds one owning pointer; deletes it when replaced, unset or destroyed.
template <class T> class PtrWrapper
{
public:
    PtrWrapper() = default;
    ~PtrWrapper() { delete m_ptr; }

    PtrWrapper(const PtrWrapper&) = delete;
    PtrWrapper& operator=(const PtrWrapper&) = delete;

    // Deletes the object held before and holds ptr; setting the held pointer again keeps it alive.
    void set(T* ptr)
    {
        if (ptr == m_ptr)
            return;
        delete m_ptr;
        m_ptr = ptr;
    }
    void unset() { set(nullptr); }
    bool isNull() const { return m_ptr == nullptr; }
    T* ptr() const { return m_ptr; }

private:
    T* m_ptr = nullptr;
};
