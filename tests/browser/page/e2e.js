// Runs the cases the test server hands out through the demo extension, as a
// bank page would, and posts what came back. Judging is left to the server.
"use strict";

(async () => {
  const post = (path, body) => fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body),
  });
  const report = async (body) => {
    document.getElementById("state").textContent = "Done";
    await post("/results", body);
    // Leaving the page closes the extension's connection: the host must then
    // see the end of its input and exit by itself.
    window.location.replace("about:blank");
  };

  try {
    const config = await (await fetch("/config")).json();
    const client = new TokenHostClient({ replyTimeoutMs: config.replyTimeoutMs });
    if (!(await client.waitForExtension(config.extensionWaitMs))) {
      await report({ error: "The extension's content script did not answer on this page." });
      return;
    }
    const results = [];
    for (const testCase of config.cases) {
      const entry = { name: testCase.name };
      const started = performance.now();
      try {
        const { reply, text, pieces } = await client.call(testCase.command, testCase.members);
        Object.assign(entry, { cmd: reply.cmd, tabID: reply.tabID, lastData: reply.lastData, text, pieces });
      } catch (error) {
        entry.error = String((error && error.message) || error);
      }
      entry.ms = Math.round(performance.now() - started);
      await post("/log", { text: `${testCase.name}: ${entry.error || "replied"} after ${entry.ms} ms` });
      results.push(entry);
    }
    await report({ results, userAgent: navigator.userAgent });
  } catch (error) {
    await report({ error: `The test page failed: ${error}` });
  }
})();
