// The host's processes as the service sees them (a replaceable table, /proc
// by default), and the left-over SSH terminal clients ("plink") of one home
// directory: finding them and ending them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct TProcessInfo {
  int pid = 0;
  uid_t uid = 0;                  // real user id
  std::string comm;               // the kernel's short name of the program
  std::vector<std::string> args;  // the command line, argv[0] first
};

class TProcessTable {
 public:
  virtual ~TProcessTable() = default;
  // Every process that could be read; one that ends meanwhile is left out.
  // Any thread.
  virtual std::vector<TProcessInfo> List() const = 0;
};

// The table read from /proc.
class TProcProcessTable : public TProcessTable {
 public:
  std::vector<TProcessInfo> List() const override;
};

// The process-wide table; /proc unless a test installed another. The caller
// keeps an installed table alive; nullptr restores /proc.
TProcessTable& ProcessTable();
void SetProcessTable(TProcessTable* table);

// The plink processes left behind by SSH sessions of this home: the real
// user id is ours, the program name begins with "plink" (any case) and one
// of the arguments after the program is a path inside `home` (both compared
// after resolving symbolic links; "/srv/a" does not contain "/srv/ab"). The
// program's own location does not count: one plink binary may serve several
// homes. This process and except_pid (the client of the session in use)
// are never listed. Any thread.
std::vector<int> FindPlinkOrphans(const std::string& home, int except_pid = 0,
                                  const TProcessTable& table = ProcessTable());

// Asks each process to end (SIGTERM), waits up to grace_ms for all of them,
// kills those left (SIGKILL) and waits up to grace_ms again. The waits
// follow each process through a pidfd, which also keeps the later signal
// from reaching a process that took over an ended one's id; without pidfd
// support (kernels before 5.3) it signals by id and waits the grace time once. Ids <= 0 and this process
// are skipped. Any thread; blocks for at most twice grace_ms.
void KillProcesses(const std::vector<int>& pids, int64_t grace_ms = 1000);

}  // namespace kv
