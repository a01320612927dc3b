# Shell functions that several scripts share; sourced (`. scripts/lib.sh`), never run alone.

# Installs the Debian packages of the list that are not installed yet (with sudo when not root).
install_packages() {  # package...
  local missing=() package sudo=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  # Packages of another architecture (name:i386) need it added first.
  for package in "${missing[@]}"; do
    case "$package" in
    *:*) dpkg --print-foreign-architectures | grep -qx "${package#*:}" || $sudo dpkg --add-architecture "${package#*:}" ;;
    esac
  done
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A loopback port nothing listens on now.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" || { echo "$port"; return; }
  done
}

# Starts nginx in the background serving `root` on a free loopback port, with its configuration,
# logs and temporary files in `folder`. Sets nginx_pid and nginx_port; false (nginx_pid empty)
# when it does not start. Tries a few ports, since another program may take one between the
# probe and nginx's start.
# With `certificate` and `key` (PEM files) it serves HTTPS instead, offering HTTP/2 too. The
# access log is nginx's "combined" format followed by "p" for a request that came pipelined
# behind another ("." otherwise).
start_loopback_nginx() {  # folder root [certificate key]
  local folder=$1 root=$2 certificate=${3:-} key=${4:-} attempt nginx_bin tls=""
  [ -n "$certificate" ] && tls=" ssl http2; ssl_certificate $certificate; ssl_certificate_key $key"
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  mkdir -p "$folder/temp"
  nginx_pid=""
  for attempt in 1 2 3 4 5 6 7 8; do
    nginx_port=$(free_port)
    cat >"$folder/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $folder/nginx.pid;
error_log $folder/error.log;
events { worker_connections 64; }
http {
  log_format kib '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                 '"\$http_referer" "\$http_user_agent" \$pipe';
  access_log $folder/access.log kib;
  client_body_temp_path $folder/temp/body;
  proxy_temp_path $folder/temp/proxy;
  fastcgi_temp_path $folder/temp/fastcgi;
  uwsgi_temp_path $folder/temp/uwsgi;
  scgi_temp_path $folder/temp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$nginx_port$tls;
    root $root;
  }
}
CONF
    "$nginx_bin" -p "$folder" -c "$folder/nginx.conf" -e "$folder/error.log" &
    nginx_pid=$!
    for _ in $(seq 50); do
      port_in_use "$nginx_port" && return 0
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  done
  return 1
}

# Waits until fewer than `limit` of the script's jobs run, so that the next may start.
wait_for_a_slot() {  # limit
  while [ "$(jobs -rp | wc -l)" -ge "$1" ]; do wait -n || true; done
}
