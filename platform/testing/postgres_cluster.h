// For tests: a throwaway PostgreSQL cluster in a temporary folder, made with the server's own
// initdb and run with pg_ctl (from /usr/lib/postgresql/<version>/bin, the newest there). It
// listens only on a Unix-domain socket in that folder, never on TCP, and trusts local
// connections; its superuser is "postgres". A process running as root runs the server's
// programs as the system user postgres (the server refuses root), after handing it the folder.
// The cluster is stopped and its folder removed when the object is destroyed.
//
// Not for use by two threads at once.
#ifndef FLOWSENTRY_PLATFORM_TESTING_POSTGRES_CLUSTER_H_
#define FLOWSENTRY_PLATFORM_TESTING_POSTGRES_CLUSTER_H_

#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::platform::testing {

class PostgresCluster {
 public:
  // Makes the cluster (initdb) and starts it. ok() tells whether both worked; failure() says
  // why not.
  PostgresCluster();
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  bool ok() const { return ok_; }
  const std::string& failure() const { return failure_; }

  // pg_ctl start and stop, each waiting until the server is up or down. Stop ends every
  // connection to the server (fast shutdown). Restart is Stop, then Start.
  bool Start();
  bool Stop();
  bool Restart();
  bool running() const { return running_; }

  // The folder of the server's socket (the temporary folder itself).
  const std::string& socket_folder() const { return folder_; }

  // An ADO-style connection string for the database "postgres" as user "postgres":
  // "Provider=<provider>;Data Source=<socket folder>;Initial Catalog=postgres;User ID=postgres".
  std::string ConnectionString(std::string_view provider = "PostgreSQL") const;

  // Runs SQL (several statements allowed) on a connection of its own; false with the server's
  // message in `error` (when given) on failure.
  bool Exec(std::string_view sql, std::string* error = nullptr) const;

  // The rows a query yields, each as its columns joined by ";" (NULL as "NULL"); a single row
  // "ERROR: <message>" when the query fails.
  std::vector<std::string> Rows(std::string_view sql) const;

  // The server's log so far, for messages of failed tests.
  std::string ServerLog() const;

 private:
  // Runs one of the server's programs with `arguments`, as postgres when this process is root;
  // its output goes to the folder's tool log. True when it exits with 0.
  bool RunTool(std::string_view tool, const std::vector<std::string>& arguments);
  bool Fail(std::string why);

  std::string bin_;     // the server's program folder
  std::string folder_;  // the temporary folder: socket, logs, and the data folder inside
  std::string data_;
  bool ok_ = false;
  bool running_ = false;
  std::string failure_;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_POSTGRES_CLUSTER_H_
