#pragma once

#include <cstdint>

namespace zuvelo::platform {

// Called first by both programs: on Linux, a launcher that goes away must never
// kill them through SIGPIPE. Nothing to do on Windows.
void PrepareProcess();

// The caller's token holds the local Administrators group (CheckTokenMembership);
// on Linux, the effective user is root.
bool IsAdministrator();

// The process token is elevated (TokenElevation); false when the token cannot be
// read. On Linux, the effective user is root.
bool IsProcessElevated();

// COM for the calling thread, apartment-threaded with OLE1 DDE off (CoInitializeEx),
// released (CoUninitialize) when the object goes if the initialisation succeeded,
// so initialisations and releases stay balanced. Nothing to prepare on Linux.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // The HRESULT of the initialisation (S_FALSE when COM was already there in this mode).
    int32_t Result() const { return result_; }
    bool Ok() const { return result_ >= 0; }

private:
    int32_t result_ = 0;
};

}  // namespace zuvelo::platform
