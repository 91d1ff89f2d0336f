#include "platform/testing/postgres_cluster.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace flowsentry::platform::testing {
namespace {

constexpr char kServerUser[] = "postgres";

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
void IgnoreNotice(void*, const char*) {}

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};

// The newest server's program folder, or empty when no server is installed.
std::string FindServerPrograms() {
  std::error_code error;
  std::string best;
  int best_version = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
    const std::string name = entry.path().filename().string();
    const int version = std::atoi(name.c_str());
    const std::filesystem::path bin = entry.path() / "bin";
    if (version > best_version && std::filesystem::exists(bin / "initdb", error) &&
        std::filesystem::exists(bin / "pg_ctl", error)) {
      best_version = version;
      best = bin.string();
    }
  }
  return best;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace

PostgresCluster::PostgresCluster() {
  bin_ = FindServerPrograms();
  if (bin_.empty()) {
    Fail("no PostgreSQL server under /usr/lib/postgresql (install the package postgresql)");
    return;
  }
  const char* tmp = std::getenv("TMPDIR");
  // The socket's path must stay short (about 100 bytes), so the folder's name is too.
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fspg-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    Fail(std::string("mkdtemp: ") + std::strerror(errno));
    return;
  }
  folder_ = pattern;
  data_ = folder_ + "/data";
  if (geteuid() == 0) {
    const passwd* user = getpwnam(kServerUser);
    if (user == nullptr) {
      Fail("no system user postgres to run the server as");
      return;
    }
    if (chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
      Fail(std::string("chown: ") + std::strerror(errno));
      return;
    }
  }
  if (!RunTool("initdb", {"-D", data_, "-U", kServerUser, "--auth=trust", "--encoding=UTF8",
                          "--locale=C", "--no-sync"})) {
    Fail("initdb failed: " + ReadWhole(folder_ + "/tools.log"));
    return;
  }
  {
    std::ofstream conf(data_ + "/postgresql.conf", std::ios::app);
    conf << "\nlisten_addresses = ''\n"
         << "unix_socket_directories = '" << folder_ << "'\n"
         << "port = 5432\n"
         << "fsync = off\n"
         << "max_connections = 20\n"
         << "shared_buffers = 16MB\n";
    if (!conf) {
      Fail("cannot write postgresql.conf");
      return;
    }
  }
  ok_ = Start();
}

PostgresCluster::~PostgresCluster() {
  if (running_) RunTool("pg_ctl", {"-D", data_, "-m", "immediate", "-w", "stop"});
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

bool PostgresCluster::Fail(std::string why) {
  failure_ = std::move(why);
  ok_ = false;
  return false;
}

bool PostgresCluster::Start() {
  if (running_) return true;
  if (!RunTool("pg_ctl", {"-D", data_, "-l", folder_ + "/server.log", "-w", "-t", "60", "start"})) {
    return Fail("pg_ctl start failed: " + ReadWhole(folder_ + "/tools.log") + ServerLog());
  }
  running_ = true;
  return true;
}

bool PostgresCluster::Stop() {
  if (!running_) return true;
  if (!RunTool("pg_ctl", {"-D", data_, "-m", "fast", "-w", "-t", "60", "stop"})) {
    return Fail("pg_ctl stop failed: " + ReadWhole(folder_ + "/tools.log"));
  }
  running_ = false;
  return true;
}

bool PostgresCluster::Restart() { return Stop() && Start(); }

std::string PostgresCluster::ConnectionString(std::string_view provider) const {
  return "Provider=" + std::string(provider) + ";Data Source=" + folder_ +
         ";Initial Catalog=postgres;User ID=" + kServerUser;
}

bool PostgresCluster::Exec(std::string_view sql, std::string* error) const {
  const char* keys[] = {"host", "dbname", "user", nullptr};
  const char* values[] = {folder_.c_str(), "postgres", kServerUser, nullptr};
  std::unique_ptr<PGconn, ConnectionCloser> connection(PQconnectdbParams(keys, values, 0));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    if (error != nullptr) *error = PQerrorMessage(connection.get());
    return false;
  }
  PQsetNoticeProcessor(connection.get(), IgnoreNotice, nullptr);
  std::unique_ptr<PGresult, ResultClearer> result(
      PQexec(connection.get(), std::string(sql).c_str()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    if (error != nullptr) *error = PQerrorMessage(connection.get());
    return false;
  }
  return true;
}

std::vector<std::string> PostgresCluster::Rows(std::string_view sql) const {
  const char* keys[] = {"host", "dbname", "user", nullptr};
  const char* values[] = {folder_.c_str(), "postgres", kServerUser, nullptr};
  std::unique_ptr<PGconn, ConnectionCloser> connection(PQconnectdbParams(keys, values, 0));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    return {std::string("ERROR: ") + PQerrorMessage(connection.get())};
  }
  std::unique_ptr<PGresult, ResultClearer> result(
      PQexec(connection.get(), std::string(sql).c_str()));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    return {std::string("ERROR: ") + PQerrorMessage(connection.get())};
  }
  std::vector<std::string> rows;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    std::string text;
    for (int column = 0; column < PQnfields(result.get()); ++column) {
      if (column > 0) text += ";";
      text +=
          PQgetisnull(result.get(), row, column) ? "NULL" : PQgetvalue(result.get(), row, column);
    }
    rows.push_back(std::move(text));
  }
  return rows;
}

std::string PostgresCluster::ServerLog() const { return ReadWhole(folder_ + "/server.log"); }

bool PostgresCluster::RunTool(std::string_view tool, const std::vector<std::string>& arguments) {
  const std::string program = bin_ + "/" + std::string(tool);
  std::vector<std::string> command;
  if (geteuid() == 0) {
    const char* runuser = access("/usr/sbin/runuser", X_OK) == 0 ? "/usr/sbin/runuser" : "runuser";
    command = {runuser, "-u", kServerUser, "--"};
  }
  command.push_back(program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);
  const std::string log = folder_ + "/tools.log";

  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // Only async-signal-safe calls from here on. The output goes to the tool log, so that the
    // server pg_ctl leaves running holds none of the test's own descriptors open.
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null_in = open("/dev/null", O_RDONLY);
    if (out < 0 || null_in < 0) _exit(126);
    dup2(null_in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // The folder is the current one, which the postgres user can enter.
    if (chdir(folder_.c_str()) != 0) _exit(126);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace flowsentry::platform::testing
