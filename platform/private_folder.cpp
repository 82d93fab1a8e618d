#include "platform/private_folder.h"

namespace zuvelo::platform {

const char* DescribePrivateFolderState(PrivateFolderState state) {
    switch (state) {
        case PrivateFolderState::Usable: return "usable";
        case PrivateFolderState::Missing: return "missing";
        case PrivateFolderState::Link: return "a link";
        case PrivateFolderState::NotFolder: return "not a folder";
        case PrivateFolderState::ForeignOwner: return "owned by another user";
        case PrivateFolderState::OpenToOthers: return "writable by other users";
        case PrivateFolderState::Failed: return "not accessible";
    }
    return "not accessible";
}

}  // namespace zuvelo::platform
