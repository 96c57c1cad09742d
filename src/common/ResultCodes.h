#pragma once
// Every result code the service raises, in one table. The low 24 bits of each
// are the number of the catalogue message that describes it; the catalogue
// test formats every entry of kAllResultCodes, so a code added here without a
// text fails the tests.

#include <array>
#include <cstdint>

namespace kav::rc {

constexpr int32_t code(uint32_t hr)
{
    return static_cast<int32_t>(hr);
}
constexpr uint32_t messageNumber(int32_t hr)
{
    return static_cast<uint32_t>(hr) & 0xFFFFFFu;
}

// Generic
inline constexpr int32_t OK = 0;
inline constexpr int32_t UNEXPECTED_STD_EXCEPTION = code(0x81000001);
inline constexpr int32_t UNKNOWN_EXCEPTION = code(0xC0000000);

// Start-up configuration (informational, not negative)
inline constexpr int32_t NO_QEL_LIBDIR = code(0x0000F237);
inline constexpr int32_t NO_QEL_EVENT_PLUGIN = code(0x0000F238);
inline constexpr int32_t BAD_PORT = code(0x90012535);
inline constexpr int32_t BAD_STORAGE_DIR = code(0x90012536);

// Communication library
inline constexpr int32_t ZEPHCOMM_DRIVER_ERROR = code(0x8500EE4A);
inline constexpr int32_t ZEPHCOMM_DRIVER_TIMEOUT = code(0x8500EE4B);
inline constexpr int32_t ZEPHCOMM_DRIVER_LOAD_FAIL = code(0x8500EE4D);
inline constexpr int32_t ZEPHCOMM_BIND_TYPE_FAIL = code(0x8500EE4F);
inline constexpr int32_t ZEPHCOMM_BIND_TYPE_DUPLICATED = code(0x8500EE50);
inline constexpr int32_t ZEPHCOMM_STUB_BIND_FAIL = code(0x8500EE51);
inline constexpr int32_t ZEPHCOMM_STUB_BIND_DUPLICATED = code(0x8500EE52);
inline constexpr int32_t ZEPHCOMM_DESERIALIZE_FAIL = code(0x8500EE53);
inline constexpr int32_t ZEPHCOMM_PROTOCOL_SIZE = code(0x8500EE54);
inline constexpr int32_t ZEPHCOMM_PROTOCOL_VERSION = code(0x8500EE55);
inline constexpr int32_t ZEPHCOMM_DRIVER_INIT_FAIL = code(0x8500EE56);

// Resource manager client
inline constexpr int32_t ZOR_CALL_FAILED = code(0x890080EA);
inline constexpr int32_t ZOR_CONSUMER_GONE = code(0x890080F2);

// Message catalogue
inline constexpr int32_t I18N_FAILED = code(0x8C00D6DA);
inline constexpr int32_t I18N_NO_DATA = code(0x8C00D6DB);
inline constexpr int32_t I18N_NO_LOCALE = code(0x8C00D6DC);
inline constexpr int32_t I18N_NOT_INITIALISED = code(0x8C00D6DD);
inline constexpr int32_t I18N_IMPL_NOT_INITIALISED = code(0x8C00D6DE);
inline constexpr int32_t I18N_NO_MESSAGE = code(0x8C00D6DF);
inline constexpr int32_t I18N_BAD_PATTERN = code(0x8C00D6E0);
inline constexpr int32_t I18N_SUBSTITUTION = code(0x8C00D6E1);

// Event notification
inline constexpr int32_t EVENT_INIT_FAILED = code(0x8D00F231);
inline constexpr int32_t EVENT_PLUGIN_LOAD_FAILED = code(0x8D00F232);
inline constexpr int32_t EVENT_TRIGGER_FAILED = code(0x8D00F233);
inline constexpr int32_t EVENT_BAD_CODE = code(0x8D00F234);
inline constexpr int32_t EVENT_BAD_LEVEL = code(0x8D00F235);

// Security
inline constexpr int32_t SEC_SERVER_INIT_FAILED = code(0x91015F93);
inline constexpr int32_t SEC_AUTH_FAILED = code(0x91015F98);
inline constexpr int32_t SEC_AUTH_ERROR = code(0x91015F99);
inline constexpr int32_t SEC_INIT_FAILED = code(0x91015F9D);
inline constexpr int32_t SEC_REMOTE_USER_FAILED = code(0x91015F9E);
inline constexpr int32_t SEC_NO_PLUGIN = code(0x91015FA0);

// Service requests
inline constexpr int32_t RS_NO_SERVER_MANAGER = code(0xD0014C0C);
inline constexpr int32_t RS_QUEUE_FAILED = code(0xD0014C0E);
inline constexpr int32_t RS_FAILED = code(0xD0014C10);
inline constexpr int32_t RS_DIR_FAILED = code(0xD0014C11);
inline constexpr int32_t RS_FILE_WRITE_FAILED = code(0xD0014C12);
inline constexpr int32_t RS_MISSING_ARGUMENT = code(0xD0014C13);
inline constexpr int32_t RS_DIR_DELETE_FAILED = code(0xD0014C14);
inline constexpr int32_t RS_NO_MODULE_FILE = code(0xD0014C15);
inline constexpr int32_t RS_FILE_READ_FAILED = code(0xD0014C16);
inline constexpr int32_t RS_WRONG_VERSION = code(0xD0014C19);
inline constexpr int32_t RS_NO_SUCH_MODULE = code(0xD0014C1A);
inline constexpr int32_t RS_MODULE_LINKED = code(0xD0014C1F);
inline constexpr int32_t RS_LINK_NOT_FOUND = code(0xD0014C20);
inline constexpr int32_t RS_LOGON_FAILED = code(0xD0014C21);
inline constexpr int32_t RS_PERMISSION_DENIED = code(0xD0014C26);
inline constexpr int32_t RS_BAD_CONSUMER = code(0xD0014C2C);
inline constexpr int32_t RS_INSTALLER_RUNNING = code(0xD0014C30);
inline constexpr int32_t RS_DEPLOY_COMMAND_TIMEOUT = code(0xD0014C31);
inline constexpr int32_t RS_HOST_STATE_FINAL = code(0xD0014C32);
inline constexpr int32_t RS_EMPTY_GROUP = code(0xD0014C33);
inline constexpr int32_t RS_UNKNOWN_HOST = code(0xD0014C34);
inline constexpr int32_t RS_NO_SUCH_PACKAGE = code(0xD0014C35);
inline constexpr int32_t RS_CONSUMER_GROUP_MISMATCH = code(0xD0014C36);
inline constexpr int32_t RS_BAD_RESOURCE_GROUP = code(0xD0014C37);
inline constexpr int32_t RS_BAD_HOST = code(0xD0014C38);
inline constexpr int32_t RS_DEPLOY_COMMAND_LOST = code(0xD0014C39);
inline constexpr int32_t RS_DEPLOY_CANCELLED = code(0xD0014C3A);
inline constexpr int32_t RS_NO_PACKAGE_FOR_TYPE = code(0xD0014C41);
inline constexpr int32_t RS_ALLOCATION_TIMEOUT = code(0xD0014C42);
inline constexpr int32_t RS_HOST_NOT_ALLOCATED = code(0xD0014C45);
inline constexpr int32_t RS_PACKAGE_FAILED = code(0xD0014C46);
inline constexpr int32_t RS_NAME_CASE_CLASH = code(0xD0014C49);
// Failures of checks this service makes of its own accord: a step the deploy
// command reports as failed on its host, a name that would leave the
// repository or that a file system cannot hold, a request before logon when
// logon is required, a file too large for one message.
inline constexpr int32_t RS_DEPLOY_STEP_FAILED = code(0xD0014C50); // reported by the deploy command
inline constexpr int32_t RS_BAD_NAME = code(0xD0014C60);
inline constexpr int32_t RS_LOGON_REQUIRED = code(0xD0014C61);
inline constexpr int32_t RS_TRANSFER_TOO_LARGE = code(0xD0014C62); // a file's message would cross the limit

// Clearer names for codes whose first name says less than the code means.
inline constexpr int32_t RS_CANNOT_CREATE
    = RS_NO_SERVER_MANAGER; // manager, acceptor, work item or block not created
inline constexpr int32_t RS_THREADS_NOT_STARTED = RS_FAILED; // the worker threads cannot be started
inline constexpr int32_t RS_DIR_CREATE_FAILED = RS_DIR_FAILED; // a module directory cannot be created
inline constexpr int32_t RS_LINK_TARGET_MISSING
    = RS_LINK_NOT_FOUND; // linking to a module that does not exist
inline constexpr int32_t RS_PACKAGE_REMOVE_FAILED = RS_PACKAGE_FAILED; // a package cannot be removed
inline constexpr int32_t RS_ALLOCATION_INTERRUPTED
    = RS_HOST_NOT_ALLOCATED; // host still being allocated at a restart
inline constexpr int32_t SEC_PLUGIN_LOAD_FAILED = SEC_INIT_FAILED; // the security plug-in cannot be loaded
inline constexpr int32_t ZOR_REGISTER_FAILED = ZOR_CALL_FAILED; // an address cannot be registered
inline constexpr int32_t ZOR_CONSUMER_NOT_REGISTERED
    = ZOR_CONSUMER_GONE; // the consumer is not (or no longer) registered

// One row per result code: the code, its name and the number of parameters
// every raising site passes (the catalogue text uses exactly {0}..{n-1}).
struct CodeEntry {
    int32_t code;
    const char* name;
    unsigned paramCount;
};

inline constexpr std::array kAllResultCodes {
    CodeEntry { UNEXPECTED_STD_EXCEPTION, "UNEXPECTED_STD_EXCEPTION", 0 },
    CodeEntry { UNKNOWN_EXCEPTION, "UNKNOWN_EXCEPTION", 0 }, CodeEntry { NO_QEL_LIBDIR, "NO_QEL_LIBDIR", 0 },
    CodeEntry { NO_QEL_EVENT_PLUGIN, "NO_QEL_EVENT_PLUGIN", 0 },
    CodeEntry { BAD_PORT, "BAD_PORT", 3 }, // port text, host, reason
    CodeEntry { BAD_STORAGE_DIR, "BAD_STORAGE_DIR", 3 }, // directory, host, user
    CodeEntry { ZEPHCOMM_DRIVER_ERROR, "ZEPHCOMM_DRIVER_ERROR", 0 },
    CodeEntry { ZEPHCOMM_DRIVER_TIMEOUT, "ZEPHCOMM_DRIVER_TIMEOUT", 0 },
    CodeEntry { ZEPHCOMM_DRIVER_LOAD_FAIL, "ZEPHCOMM_DRIVER_LOAD_FAIL", 0 },
    CodeEntry { ZEPHCOMM_BIND_TYPE_FAIL, "ZEPHCOMM_BIND_TYPE_FAIL", 0 },
    CodeEntry { ZEPHCOMM_BIND_TYPE_DUPLICATED, "ZEPHCOMM_BIND_TYPE_DUPLICATED", 0 },
    CodeEntry { ZEPHCOMM_STUB_BIND_FAIL, "ZEPHCOMM_STUB_BIND_FAIL", 0 },
    CodeEntry { ZEPHCOMM_STUB_BIND_DUPLICATED, "ZEPHCOMM_STUB_BIND_DUPLICATED", 0 },
    CodeEntry { ZEPHCOMM_DESERIALIZE_FAIL, "ZEPHCOMM_DESERIALIZE_FAIL", 0 },
    CodeEntry { ZEPHCOMM_PROTOCOL_SIZE, "ZEPHCOMM_PROTOCOL_SIZE", 0 },
    CodeEntry { ZEPHCOMM_PROTOCOL_VERSION, "ZEPHCOMM_PROTOCOL_VERSION", 0 },
    CodeEntry { ZEPHCOMM_DRIVER_INIT_FAIL, "ZEPHCOMM_DRIVER_INIT_FAIL", 0 },
    CodeEntry { ZOR_CALL_FAILED, "ZOR_CALL_FAILED", 0 },
    CodeEntry { ZOR_CONSUMER_GONE, "ZOR_CONSUMER_GONE", 0 }, CodeEntry { I18N_FAILED, "I18N_FAILED", 0 },
    CodeEntry { I18N_NO_DATA, "I18N_NO_DATA", 0 }, CodeEntry { I18N_NO_LOCALE, "I18N_NO_LOCALE", 0 },
    CodeEntry { I18N_NOT_INITIALISED, "I18N_NOT_INITIALISED", 0 },
    CodeEntry { I18N_IMPL_NOT_INITIALISED, "I18N_IMPL_NOT_INITIALISED", 0 },
    CodeEntry { I18N_NO_MESSAGE, "I18N_NO_MESSAGE", 0 },
    CodeEntry { I18N_BAD_PATTERN, "I18N_BAD_PATTERN", 0 },
    CodeEntry { I18N_SUBSTITUTION, "I18N_SUBSTITUTION", 0 },
    CodeEntry { EVENT_INIT_FAILED, "EVENT_INIT_FAILED", 0 },
    CodeEntry { EVENT_PLUGIN_LOAD_FAILED, "EVENT_PLUGIN_LOAD_FAILED", 2 }, // plug-in path, parameter
    CodeEntry { EVENT_TRIGGER_FAILED, "EVENT_TRIGGER_FAILED", 0 },
    CodeEntry { EVENT_BAD_CODE, "EVENT_BAD_CODE", 1 }, // the refused event code
    CodeEntry { EVENT_BAD_LEVEL, "EVENT_BAD_LEVEL", 0 },
    CodeEntry { SEC_SERVER_INIT_FAILED, "SEC_SERVER_INIT_FAILED", 0 },
    CodeEntry { SEC_AUTH_FAILED, "SEC_AUTH_FAILED", 0 }, CodeEntry { SEC_AUTH_ERROR, "SEC_AUTH_ERROR", 0 },
    CodeEntry { SEC_INIT_FAILED, "SEC_INIT_FAILED", 0 },
    CodeEntry { SEC_REMOTE_USER_FAILED, "SEC_REMOTE_USER_FAILED", 0 },
    CodeEntry { SEC_NO_PLUGIN, "SEC_NO_PLUGIN", 0 },
    CodeEntry { RS_NO_SERVER_MANAGER, "RS_NO_SERVER_MANAGER", 0 },
    CodeEntry { RS_QUEUE_FAILED, "RS_QUEUE_FAILED", 0 }, CodeEntry { RS_FAILED, "RS_FAILED", 0 },
    CodeEntry { RS_DIR_FAILED, "RS_DIR_FAILED", 1 }, // directory
    CodeEntry { RS_FILE_WRITE_FAILED, "RS_FILE_WRITE_FAILED", 1 }, // path, or ".index"
    CodeEntry { RS_MISSING_ARGUMENT, "RS_MISSING_ARGUMENT", 0 },
    CodeEntry { RS_DIR_DELETE_FAILED, "RS_DIR_DELETE_FAILED", 0 },
    CodeEntry { RS_NO_MODULE_FILE, "RS_NO_MODULE_FILE", 1 }, // module directory
    CodeEntry { RS_FILE_READ_FAILED, "RS_FILE_READ_FAILED", 1 }, // path
    CodeEntry { RS_WRONG_VERSION, "RS_WRONG_VERSION", 2 }, // module, requested version
    CodeEntry { RS_NO_SUCH_MODULE, "RS_NO_SUCH_MODULE", 2 }, // module, consumer
    CodeEntry { RS_MODULE_LINKED, "RS_MODULE_LINKED", 1 }, // module
    CodeEntry { RS_LINK_NOT_FOUND, "RS_LINK_NOT_FOUND", 0 },
    CodeEntry { RS_LOGON_FAILED, "RS_LOGON_FAILED", 0 },
    CodeEntry { RS_PERMISSION_DENIED, "RS_PERMISSION_DENIED", 0 },
    CodeEntry { RS_BAD_CONSUMER, "RS_BAD_CONSUMER", 1 }, // consumer
    CodeEntry { RS_INSTALLER_RUNNING, "RS_INSTALLER_RUNNING", 2 }, // package, run text
    CodeEntry {
        RS_DEPLOY_COMMAND_TIMEOUT, "RS_DEPLOY_COMMAND_TIMEOUT", 4 }, // run text, package, host, seconds
    CodeEntry { RS_HOST_STATE_FINAL, "RS_HOST_STATE_FINAL", 1 }, // package
    CodeEntry { RS_EMPTY_GROUP, "RS_EMPTY_GROUP", 1 }, // resource group
    CodeEntry { RS_UNKNOWN_HOST, "RS_UNKNOWN_HOST", 1 }, // host
    CodeEntry { RS_NO_SUCH_PACKAGE, "RS_NO_SUCH_PACKAGE", 1 }, // package
    CodeEntry { RS_CONSUMER_GROUP_MISMATCH, "RS_CONSUMER_GROUP_MISMATCH", 2 }, // consumer, resource group
    CodeEntry { RS_BAD_RESOURCE_GROUP, "RS_BAD_RESOURCE_GROUP", 1 }, // resource group
    CodeEntry { RS_BAD_HOST, "RS_BAD_HOST", 1 }, // host
    CodeEntry { RS_DEPLOY_COMMAND_LOST, "RS_DEPLOY_COMMAND_LOST", 1 }, // last reported state
    CodeEntry { RS_DEPLOY_CANCELLED, "RS_DEPLOY_CANCELLED", 0 },
    CodeEntry { RS_NO_PACKAGE_FOR_TYPE, "RS_NO_PACKAGE_FOR_TYPE", 3 }, // package, host, host type
    CodeEntry { RS_ALLOCATION_TIMEOUT, "RS_ALLOCATION_TIMEOUT", 4 }, // run text, package, host, seconds
    CodeEntry { RS_HOST_NOT_ALLOCATED, "RS_HOST_NOT_ALLOCATED", 2 }, // package, host
    CodeEntry { RS_PACKAGE_FAILED, "RS_PACKAGE_FAILED", 0 },
    CodeEntry { RS_NAME_CASE_CLASH, "RS_NAME_CASE_CLASH", 2 }, // module, stored name
    CodeEntry { RS_DEPLOY_STEP_FAILED, "RS_DEPLOY_STEP_FAILED", 1 }, // what failed and where
    CodeEntry { RS_BAD_NAME, "RS_BAD_NAME", 3 }, // argument name, value shown safely, reason
    CodeEntry { RS_LOGON_REQUIRED, "RS_LOGON_REQUIRED", 1 }, // operation
    CodeEntry { RS_TRANSFER_TOO_LARGE, "RS_TRANSFER_TOO_LARGE", 3 }, // file, bytes needed, limit
};

} // namespace kav::rc

// Catalogue messages that are not the low 24 bits of a result code.
namespace kav::msg {

inline constexpr uint32_t STARTED = 85001; // written to standard error once running
inline constexpr uint32_t START_FAILED = 85002; // written to standard error before the failure text
inline constexpr uint32_t NO_ERROR_INFO = 85005; // a work item failed without error information
inline constexpr uint32_t AUDIT_NO_DIR = 85037; // no audit directory configured
inline constexpr uint32_t AUDIT_DIR_FAILED = 85038; // directory
inline constexpr uint32_t AUDIT_FILE_FAILED = 85039;
inline constexpr uint32_t AUDIT_MODULE_ADDED = 0x14C22; // user, module, marker
inline constexpr uint32_t AUDIT_MODULE_ADD_FAILED = 0x14C23; // user, module, failure text[, "RSDEPLOY"]
inline constexpr uint32_t AUDIT_MODULE_REMOVED = 0x14C24; // user, module, marker
inline constexpr uint32_t AUDIT_MODULE_REMOVE_FAILED = 0x14C25; // user, module, failure text[, "RSDEPLOY"]
inline constexpr uint32_t AUDIT_INSTALLED = 0x14C3B; // package, host, state, user, error text
inline constexpr uint32_t AUDIT_INSTALL_FAILED = 0x14C3C; // package, host, state, user, error text
inline constexpr uint32_t AUDIT_UNINSTALLED = 0x14C3D; // package, host, state, user, error text
inline constexpr uint32_t AUDIT_UNINSTALL_FAILED = 0x14C3E; // package, host, state, user, error text
inline constexpr uint32_t INSTALL_RUN = 85059; // names an install run
inline constexpr uint32_t UNINSTALL_RUN = 85060; // names an uninstall run
inline constexpr uint32_t AUDIT_DIR_FROM_CONFIG = 85063; // directory
inline constexpr uint32_t AUDIT_DIR_FROM_ENV = 85064; // directory
inline constexpr uint32_t EVENT_EXIT_PORT = 75061; // port text, host, reason, "", ""
inline constexpr uint32_t EVENT_EXIT_STORAGE_DIR = 75062; // directory, host, user, "", ""
inline constexpr uint32_t EVENT_STARTED = 75063; // host, port text, "", "", ""

struct MessageEntry {
    uint32_t number;
    const char* name;
    unsigned paramCount;
};

inline constexpr std::array kAllMessageNumbers {
    MessageEntry { STARTED, "STARTED", 0 },
    MessageEntry { START_FAILED, "START_FAILED", 0 },
    MessageEntry { NO_ERROR_INFO, "NO_ERROR_INFO", 0 },
    MessageEntry { AUDIT_NO_DIR, "AUDIT_NO_DIR", 0 },
    MessageEntry { AUDIT_DIR_FAILED, "AUDIT_DIR_FAILED", 1 },
    MessageEntry { AUDIT_FILE_FAILED, "AUDIT_FILE_FAILED", 0 },
    MessageEntry { AUDIT_MODULE_ADDED, "AUDIT_MODULE_ADDED", 3 },
    MessageEntry { AUDIT_MODULE_ADD_FAILED, "AUDIT_MODULE_ADD_FAILED", 4 }, // the fourth for packages only
    MessageEntry { AUDIT_MODULE_REMOVED, "AUDIT_MODULE_REMOVED", 3 },
    MessageEntry {
        AUDIT_MODULE_REMOVE_FAILED, "AUDIT_MODULE_REMOVE_FAILED", 4 }, // the fourth for packages only
    MessageEntry { AUDIT_INSTALLED, "AUDIT_INSTALLED", 5 },
    MessageEntry { AUDIT_INSTALL_FAILED, "AUDIT_INSTALL_FAILED", 5 },
    MessageEntry { AUDIT_UNINSTALLED, "AUDIT_UNINSTALLED", 5 },
    MessageEntry { AUDIT_UNINSTALL_FAILED, "AUDIT_UNINSTALL_FAILED", 5 },
    MessageEntry { INSTALL_RUN, "INSTALL_RUN", 0 },
    MessageEntry { UNINSTALL_RUN, "UNINSTALL_RUN", 0 },
    MessageEntry { AUDIT_DIR_FROM_CONFIG, "AUDIT_DIR_FROM_CONFIG", 1 },
    MessageEntry { AUDIT_DIR_FROM_ENV, "AUDIT_DIR_FROM_ENV", 1 },
    MessageEntry { EVENT_EXIT_PORT, "EVENT_EXIT_PORT", 5 },
    MessageEntry { EVENT_EXIT_STORAGE_DIR, "EVENT_EXIT_STORAGE_DIR", 5 },
    MessageEntry { EVENT_STARTED, "EVENT_STARTED", 5 },
};

} // namespace kav::msg
