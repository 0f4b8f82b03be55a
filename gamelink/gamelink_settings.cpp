// The game link's rows of the settings catalogue: the game server and its
// rcon, the console flood filter, the player-list refresh, the SSH and FTP
// log sources.
#include "gamelink/ftp_session.h"
#include "gamelink/gamelink_subsystems.h"
#include "gamelink/ssh_session.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kGameServerRows[] = {
    {"RCONHost", T::Enc, "", kStartup},
    {"RCONPORT", T::String, "12203", kStartup},
    {"RCONPASSWORD", T::Enc, "", kStartup},
    {"QuakeRCON", T::Bool, "0", kOnUse},
    {"SpearheadServer", T::Bool, "0", kOnUse},
    {"WindowsVersion", T::Bool, "0", kStartup},
    {"UDPTimeOut", T::Int, "3", kOnUse},
    {"RconMaxRetry", T::Int, "20", kOnUse},
    {"RconFailSleep", T::Int, "200", kOnUse},
    // Rcon budget: a burst of requests, then so many a minute (0 = no limit)
    {"RconBurst", T::Int, "8", kOnUse},
    {"RconRatePerMinute", T::Int, "60", kOnUse},
    {"Servername", T::String, "Unknown Server", kOnUse},
    {"ConsoleCodePage", T::Int, "0", kOnUse},  // 437: log and status replies are converted
};

constexpr TSettingDef kConsoleFilterRows[] = {
    {"FilterMessagesSend", T::Bool, "1", kOnUse},
    {"FilterMessagesSendMaxCount", T::Int, "10", kOnUse},
    {"FilterMessagesSendMaxOccured", T::Int, "2", kOnUse},
};

constexpr TSettingRows kConsoleSubsystemTables[] = {
    {TSettingPlace::GameServer, kGameServerRows},
    {TSettingPlace::ConsoleFilter, kConsoleFilterRows},
};

constexpr TSettingDef kStatusPollRows[] = {
    {"UserRefrestTimer", T::Int, "3", kOnUse},
};

constexpr TSettingRows kStatusPollSubsystemTables[] = {
    {TSettingPlace::StatusPoll, kStatusPollRows},
};

constexpr TSettingDef kSshSourceRows[] = {
    {"SSHHost", T::Enc, "", kStartup},
    {"SSHPORT", T::String, "22", kStartup},
    {"SSHLOGIN", T::Enc, "", kStartup},
    {"SSHPASSWORD", T::Enc, "", kStartup},
    {"SSHCOMMAND", T::Enc, "", kStartup},
    {"SSHKEYFILE", T::String, "", kStartup},  // private key (.ppk) in place of the password
    {"SSHClient", T::String, "", kStartup},   // the plink program; empty: Data/plink, else PATH
    {"SSHHOSTKEY", T::String, "", kStartup},  // the server's key fingerprint(s): only these are accepted
};

constexpr TSettingDef kFtpSourceRows[] = {
    {"FTPLOGFILEHost", T::String, "", kStartup},   {"FTPLOGFILEPort", T::Int, "21", kStartup},
    {"FTPLOGFILEFile", T::String, "", kStartup},   {"FTPLOGFILELogin", T::String, "", kStartup},
    {"FTPLOGFILEPASS", T::Enc, "", kStartup},      {"FTPLOGFILETimeOut", T::Int, "1000", kStartup},
    {"FTPLOGFILEPassive", T::Bool, "1", kStartup}, {"FTPLOGPROXYIP", T::String, "", kStartup},
    {"FTPLOGPROXYPORT", T::Int, "0", kStartup},    {"FTPLOGPROXYLOGIN", T::String, "", kStartup},
    {"FTPLOGPROXYPASS", T::Enc, "", kStartup},     {"FTPLOGPROXYMethod", T::Int, "0", kStartup},
};

constexpr TSettingRows kSshSessionTables[] = {
    {TSettingPlace::SshSource, kSshSourceRows},
};

constexpr TSettingRows kFtpSessionTables[] = {
    {TSettingPlace::FtpSource, kFtpSourceRows},
};

}  // namespace

std::span<const TSettingRows> TConsoleSubsystem::Rows() { return kConsoleSubsystemTables; }
std::span<const TSettingRows> TStatusPollSubsystem::Rows() { return kStatusPollSubsystemTables; }
std::span<const TSettingRows> TSShSession::SettingRows() { return kSshSessionTables; }
std::span<const TSettingRows> TFtpSession::SettingRows() { return kFtpSessionTables; }

}  // namespace kv
