# The two entry points of a fresh Debian 12 machine (run as root):
#   make run   - install what the build needs, build Release, run the server in the foreground
#   make test  - install what the tests need, build with ASan+UBSan, run every test
JOBS ?= $(shell nproc)

BUILD_PKGS = build-essential cmake pkg-config libasio-dev libsqlite3-dev libssl-dev \
             libcurl4-openssl-dev libsystemd-dev unixodbc-dev odbcinst python3 util-linux \
             libcli11-dev libedit-dev libmicrohttpd-dev liburing-dev nlohmann-json3-dev
TEST_PKGS  = $(BUILD_PKGS) libgtest-dev libgmock-dev libbenchmark-dev sqlite3 openssl \
             clang libclang-rt-14-dev mingw-w64 python3 postgresql odbc-postgresql \
             tdsodbc tinyproxy procps systemd logrotate python3-prometheus-client \
             nodejs keepalived curl faketime libfaketime prometheus
# The browser tests drive Debian's Chromium; where it cannot be installed they skip and say so.
BROWSER_PKGS = chromium

RUN_DIR ?= $(CURDIR)/out/run

.PHONY: deps deps-test build run test bench clean

deps:
	@scripts/install-deps.sh $(BUILD_PKGS)

deps-test:
	@scripts/install-deps.sh $(TEST_PKGS)
	@scripts/install-deps.sh $(BROWSER_PKGS) || echo "chromium could not be installed: the browser tests will skip" >&2

build: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_TESTS=OFF
	cmake --build build-release -j $(JOBS)

run: build
	cmake --install build-release --prefix $(RUN_DIR)
	cd $(RUN_DIR) && ./TAVO_WServer.exe --foreground --registry $(RUN_DIR)/registry.ini

test: deps-test
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON -DTAVO_BUILD_TESTS=ON
	cmake --build build-asan -j $(JOBS)
	scripts/run-tests.sh build-asan

bench: deps-test
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_TESTS=ON
	cmake --build build-bench -j $(JOBS)

clean:
	rm -rf build-release build-asan build-bench build-fuzz out
