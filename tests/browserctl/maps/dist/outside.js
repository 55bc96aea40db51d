// Its map names a file outside the project: never read.
module.exports = 1;
//# sourceMappingURL=file:///etc/passwd
