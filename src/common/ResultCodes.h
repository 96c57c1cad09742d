#pragma once
// Every result code the service raises, in one table. The low 24 bits of each
// are the number of the catalogue message that describes it; the catalogue
// test formats every entry of kAllResultCodes, so a code added here without a
// text fails the tests.

#include <cstdint>

namespace kav::rc {

constexpr int32_t code(uint32_t hr) { return static_cast<int32_t>(hr); }
constexpr uint32_t messageNumber(int32_t hr) { return static_cast<uint32_t>(hr) & 0xFFFFFFu; }

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
// Added beyond the original code set: hostile names and unauthenticated requests.
inline constexpr int32_t RS_BAD_NAME = code(0xD0014C60);
inline constexpr int32_t RS_LOGON_REQUIRED = code(0xD0014C61);

} // namespace kav::rc
