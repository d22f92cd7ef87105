// The example application's shell. The host starts it under Bun, talks to it
// in JSON lines on standard input and output, and supervises it.
//
// Arguments: --demo ends the shell by itself after a few seconds.

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

// Reopen requests arrive as SIGUSR1, but only once the shell has said, with
// SIGUSR2 to the host, that it hears them.
process.on("SIGUSR1", () => console.log("hello: the application was reopened"));
process.on("SIGTERM", () => {
  console.log("hello: asked to end, goodbye");
  process.exit(0);
});
process.kill(hostPid, "SIGUSR2");
console.log("hello: listening for reopen requests");

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
      console.log(JSON.stringify({ url: message.url, result: "greeted" }));
    } else {
      console.log(`hello: the host said ${line}`);
    }
  }
})();

if (demo) {
  setTimeout(() => {
    console.log("hello: demo over");
    process.exit(0);
  }, 3000);
}
