# Sourced by the download benchmarks: nginx serving a folder on 127.0.0.1.
#   start_nginx WORK_DIR [PORT]   serves WORK_DIR/www on PORT (default: a free port); sets PORT
#                                 and NGINX_PID; the rest of its files go to WORK_DIR/nginx
#   stop_nginx
# Every request is logged to WORK_DIR/nginx/logs/access.log as
#   <end: seconds since 1970, ms> <seconds it took, ms> <status> <bytes sent> <path>
# so that end minus duration is the moment nginx read the request.
NGINX_PID=

start_nginx() {
  local work=$1 _
  mkdir -p "$work/nginx/logs"
  PORT=${2:-}
  [ -n "$PORT" ] || PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
$( [ "$(id -u)" = 0 ] && echo "user root;" )
events { worker_connections 64; }
http {
  log_format timed '\$msec \$request_time \$status \$body_bytes_sent \$uri';
  access_log $work/nginx/logs/access.log timed;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { application/octet-stream bin; }
  server { listen 127.0.0.1:$PORT; root $work/www; }
}
CONF
  nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" &
  NGINX_PID=$!
  for _ in $(seq 100); do  # any answer at all: it listens
    [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$PORT/")" != 000 ] && break
    sleep 0.05
  done
  echo "nginx $(nginx -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$PORT"
}

stop_nginx() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null
  NGINX_PID=
}
