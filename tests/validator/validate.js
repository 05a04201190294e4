// Runs the Khronos glTF validator on each file named on the command line and
// prints one line per file: its name, the number of errors, of warnings, and
// the codes of the errors and warnings (code@pointer), tab-separated.
const fs = require('fs');
const validator = require('gltf-validator');

(async () => {
    for (const file of process.argv.slice(2)) {
        const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), { maxIssues: 0 });
        const issues = report.issues.messages
            .filter((m) => m.severity <= 1)
            .map((m) => `${m.code}@${m.pointer || ''}`);
        console.log([file, report.issues.numErrors, report.issues.numWarnings, issues.join(' ')].join('\t'));
    }
})().catch((e) => {
    console.error(String(e));
    process.exit(2);
});
