// The example application's shell. The host starts it under Bun, talks to it
// in JSON lines on standard input and output, and supervises it.
//
// Arguments: --demo ends the shell by itself after half a minute, should
// nobody quit the application before.

const env = process.env;
const hostPid = Number(env.HELLO_LAUNCHER_PID);
const demo = process.argv.includes("--demo");

// Console lines: anything that is not a JSON object goes to the host's own
// standard output.
console.log(`hello: shell ${process.pid} started by host ${hostPid}`);
console.log(`hello: bundle ${env.HELLO_BUNDLE_PATH}`);
console.log(`hello: runtime ${process.execPath}, first on PATH ${env.PATH?.split(":")[0]}`);
console.log(`hello: ${env.HELLO_GREETING} (assets in ${env.HELLO_ASSETS})`);
const received = Object.keys(env)
  .filter((name) => name.startsWith("HELLO_") || name === "KESTRUNE_HOME" || name === "SWIFT_VIEWS_DYLIB")
  .sort()
  .map((name) => `${name}=${env[name]}`);
console.log(`hello: environment from the host:\n  ${received.join("\n  ")}`);

// Messages: one JSON object per line. This one tells the host that the shell
// answers every link it is given.
console.log(JSON.stringify({ focus: "replies" }));

// Under the desktop server (Linux), the shell joins the session as a running
// application of its own, so that the host can let it take activation before
// it hands it a link. The connection is the registration: it stays open for
// the life of the shell, and the server drops the application when it closes.
const desktopSocket = env.KESTRUNE_DESKTOP_SOCKET;
let desktop: { end(): void } | undefined;
let leaving = false;
if (desktopSocket) {
  let reported = false;
  const failed = (reason: string) => {
    if (reported) return;
    reported = true;
    console.log(`hello: could not join the desktop session at ${desktopSocket}: ${reason}`);
  };
  const reasonOf = (error: { message?: string; code?: string } | undefined) =>
    `${error?.message ?? String(error)}${error?.code ? ` (${error.code})` : ""}`;
  let reply = "";
  Bun.connect({
    unix: desktopSocket,
    socket: {
      open(socket) {
        const hello = {
          op: "hello",
          id: 1,
          protocol: 1,
          role: "application",
          pid: process.pid,
          bundleIdentifier: "dev.kestrune.hello.shell",
          localizedName: "Hello shell",
          activationPolicy: 0,
        };
        socket.write(JSON.stringify(hello) + "\n");
      },
      // The reply to the hello is the only line that comes; the rest is dropped.
      data(socket, bytes) {
        if (reported) return;
        reply += bytes.toString();
        const newline = reply.indexOf("\n");
        if (newline < 0) {
          if (reply.length > 65536) {
            failed("a reply too long to be one");
            socket.end();
          }
          return;
        }
        let answer: { ok?: boolean; error?: string } | null = null;
        try {
          answer = JSON.parse(reply.slice(0, newline));
        } catch {}
        if (answer?.ok === true) {
          reported = true;
          console.log(`hello: joined the desktop session as application ${process.pid}`);
        } else {
          failed(answer?.error ?? "a reply that is not JSON");
          socket.end();
        }
      },
      close() {
        failed("the server closed the connection");
      },
      error(_socket, error) {
        failed(reasonOf(error));
      },
    },
  }).then(
    (socket) => {
      if (leaving) socket.end();
      else desktop = socket;
    },
    (error) => failed(reasonOf(error)),
  );
}

// Reopen requests arrive as SIGUSR1, but only once the shell has said, with
// SIGUSR2 to the host, that it hears them.
process.on("SIGUSR1", () => console.log("hello: the application was reopened"));
process.on("SIGTERM", () => {
  console.log("hello: asked to end, goodbye");
  process.exit(0);
});
process.kill(hostPid, "SIGUSR2");
console.log("hello: listening for reopen requests");

// The status-bar menu: the whole list of rows, sent again whenever it
// changes. The header row gives the status item its symbol and title.
let greetings = 0;
function drawTheMenu() {
  console.log(
    JSON.stringify({
      menu: [
        { kind: "header", title: "Hello", symbol: "hand.wave", badge: greetings ? "circle.fill" : undefined },
        { id: "greet", title: "Say hello", enabled: true, key: "⌘G", symbol: "text.bubble" },
        { id: "count", title: greetings === 1 ? "Greeted once" : `Greeted ${greetings} times`, enabled: false },
        { kind: "separator" },
        { id: "languages", title: "In another language", enabled: true, submenu: true },
        { id: "greet.fr", parent: "languages", title: "Bonjour", enabled: true },
        { id: "greet.tr", parent: "languages", title: "Merhaba", enabled: true },
        { kind: "separator" },
        { id: "settings", title: "Settings…", enabled: true, section: "footer", key: "⌘," },
      ],
    }),
  );
}
drawTheMenu();

// A hot key of the shell's own (⌃⌥J: key code 38, control 4096 + option
// 2048), besides the one the Info.plist declares (⌃⌥H). The host registers
// it, says how that went, and hands its presses over as links.
console.log(JSON.stringify({ hotkeys: [{ key: "wave", url: "hello://hotkey/wave", code: 38, modifiers: 6144 }] }));

// Which application is in front, with its process id, so that a greeting
// can be flashed over its window as a badge.
let frontPid = 0;
console.log(JSON.stringify({ watch: "apps" }));

const picks: Record<string, string> = { greet: "hello", "greet.fr": "bonjour", "greet.tr": "merhaba" };

// What the host says arrives on standard input, one JSON object per line.
(async () => {
  for await (const line of console) {
    let message: Record<string, unknown>;
    try {
      message = JSON.parse(line);
    } catch {
      console.log(`hello: the host said something that is not JSON: ${line}`);
      continue;
    }
    if (typeof message.front === "string") {
      console.log(`hello: ${message.front} is in front`);
    } else if (typeof message.url === "string") {
      console.log(`hello: link ${message.url}${message.source ? ` from ${message.source}` : ""}`);
      // The answer says where focus goes: settings would open in a panel of
      // the shell's own, which keeps it; any other link is done at once, and
      // focus goes back to the application the user was in.
      const keeps = message.url.startsWith("hello://open/settings");
      console.log(JSON.stringify({ url: message.url, result: "greeted", focus: keeps ? "panel" : "return" }));
    } else if (typeof message.menu === "string") {
      const word = picks[message.menu];
      if (word) {
        greetings += 1;
        console.log(`hello: ${word}! (picked ${message.menu})`);
        drawTheMenu();
        // The greeting, flashed over the window of the application in front.
        if (frontPid > 0) console.log(JSON.stringify({ badge: { pid: frontPid, text: `${word}!`, ms: 1500 } }));
      } else if (message.menu === "settings") {
        // The settings panel, drawn by the views library in the bundle.
        console.log(JSON.stringify({ panel: { name: "settings", call: "open", look: JSON.stringify({ greetings }) } }));
      } else {
        console.log(`hello: picked ${message.menu}`);
      }
    } else if (Array.isArray(message.apps)) {
      const front = message.apps.find((app: { active?: boolean }) => app.active);
      frontPid = front?.pid ?? 0;
    } else if (typeof message.act === "string") {
      console.log(`hello: in the settings panel: ${message.act}`);
      console.log(JSON.stringify({ panel: { name: "settings", call: "close" } }));
    } else if (Array.isArray(message.hotkeys)) {
      const statuses = message.hotkeys.map((key: { key: string; status: number }) => `${key.key} ${key.status === 0 ? "registered" : `status ${key.status}`}`);
      console.log(`hello: hot keys: ${statuses.join(", ")}`);
    } else if (message.opened === true) {
      console.log("hello: the menu opened");
    } else {
      console.log(`hello: the host said ${line}`);
    }
  }
  // The host is gone: the open registration must not keep the shell alive.
  leaving = true;
  desktop?.end();
})();

if (demo) {
  setTimeout(() => {
    console.log("hello: demo over");
    process.exit(0);
  }, 30000);
}
