#include "setup_file.h"

namespace setup {

const char *name(Format format)
{
    return format == Format::legacy ? ".000" : "_setup.xml";
}

const char *name(Root root)
{
    switch (root) {
    case Root::classes_root: return "HKEY_CLASSES_ROOT";
    case Root::current_user: return "HKEY_CURRENT_USER";
    case Root::local_machine: return "HKEY_LOCAL_MACHINE";
    case Root::users: return "HKEY_USERS";
    }
    return "";
}

const char *name(Type type)
{
    switch (type) {
    case Type::string: return "string";
    case Type::multi_string: return "multi_string";
    case Type::dword: return "dword";
    case Type::binary: return "binary";
    case Type::boolean: return "boolean";
    case Type::floating: return "float";
    }
    return "";
}

}  // namespace setup
